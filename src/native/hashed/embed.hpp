// The hashed embedder's rows (tarnexa.text.embedders.HashedEmbedder), the same float32 values
// as its Python form gave, to the bit.
//
// A text's words are the runs its tokens pattern [A-Z]?[a-z]+|[A-Z]+(?![a-z])|[0-9]+ finds
// (ASCII only: any other code point parts words), lower-cased, stop words left out, each cut by
// the crude suffix stripper. Its features, in this order: for each distinct word in the order it
// first occurs, "w WORD" weighing 1 and the character 3-grams then 4-grams of "<WORD>", "g GRAM",
// weighing 0.5 / (number of grams) each, all times 1 + log(count of the word); then "p A B" for
// each pair of adjacent words, weighing 0.5. A feature met again adds its weight to its first
// place's. Each feature goes, in that order, to bucket crc32(feature) % dims, plus when the
// CRC's top bit is set, minus otherwise; the sums are float64 until the row is rounded to float32.
#pragma once

#include <cstddef>
#include <span>

#include "native/text.hpp"

namespace tarnexa::native::hashed {

using native::Text;  // a str as CPython holds it

// The rows of texts, dims (2 or more) float32 values each, to out[i * dims ...]. Throws only
// std::bad_alloc, or std::length_error for a text past 2**32 - 2 distinct features.
void embed(std::span<const Text> texts, std::size_t dims, float* out);

}  // namespace tarnexa::native::hashed
