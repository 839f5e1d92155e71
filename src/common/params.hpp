// A function's parameters described once: name, conversion, default and docstring line. The
// binding, the text signature, the docstring and the computations' own defaults all read the
// same table, so a default is written in exactly one place. Plain C++: no Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnexa::params {

// How a bound Python object becomes a native value.
enum class Conv : unsigned char {
    matrix_f32,  // 2-D float32 array
    vec_f32,     // 1-D float32 array
    vec_f64,     // 1-D float64 array
    vec_bool,    // 1-D NumPy bool array
    codes_i8,    // 2-D int8 array whose columns are contiguous (a row's codes in one run of bytes)
    texts,       // sequence (not str) of str
    indices,     // sequence (not str) of unsigned integers
    id_map,      // dict of str to unsigned integer
    boolean,     // bool or NumPy bool scalar
    count,       // unsigned 64-bit integer
    real32,      // float, rounded to float32
    real,        // float
    text,        // str
    line,        // str, or None for the empty line
    keywords,    // list of dicts of keyword arguments, read by the function that takes it
};

// What a missing argument means. `none`: absent (and an explicit None is absent too).
struct Default {
    enum class Is : unsigned char { required, none, boolean, count, real } is = Is::required;
    double value = 0.0;
};
inline constexpr Default kRequired{};
inline constexpr Default kNone{Default::Is::none};
constexpr Default flag(bool v) { return {Default::Is::boolean, v ? 1.0 : 0.0}; }
constexpr Default count(std::uint64_t v) { return {Default::Is::count, static_cast<double>(v)}; }
constexpr Default real(double v) { return {Default::Is::real, v}; }

struct Param {
    const char* name;
    Conv conv;
    Default dflt = kRequired;
    const char* doc = nullptr;  // its line under "Args:" in the docstring; nullptr: none

    constexpr bool required() const { return dflt.is == Default::Is::required; }
    constexpr std::uint64_t count_default() const { return static_cast<std::uint64_t>(dflt.value); }
    constexpr bool flag_default() const { return dflt.value != 0.0; }
    constexpr double real_default() const { return dflt.value; }
};

// One Python-visible function: its name, its parameters (the required ones first) and the
// docstring's body around the parameters' lines: `head`, then (when any parameter has a line)
// "Args:" and the lines, then `tail`.
struct Function {
    const char* name;
    std::span<const Param> params;
    const char* head;
    const char* tail = nullptr;
};

}  // namespace tarnexa::params
