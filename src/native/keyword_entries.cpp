// tarnexa._native's keyword functions: the words of a text, segments built and merged, counts and
// the best rows of a query. Segments and masks arrive as buffers (bytes, mapped files, NumPy
// arrays); everything else as plain Python values. Positional arguments only: the package's own
// storage and search code is the only caller.
#include "boundary/py.hpp"  // first: Python.h with PY_SSIZE_T_CLEAN

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "boundary/guard.hpp"
#include "native/args.hpp"
#include "native/keyword_entries.hpp"
#include "native/keywords/search.hpp"
#include "native/keywords/segment.hpp"
#include "native/keywords/words.hpp"

namespace tarnexa::native {
namespace {

namespace kw = keywords;

std::string text_of(PyObject* s) {
    if (!PyUnicode_Check(s)) py::raise(PyExc_TypeError, "expected str, got " + py::type_name(s));
    return std::string(py::utf8(s));
}

// The tokens of a str: (word, letters, start, end) through emit, unstemmed.
template <class Emit>
void tokens_of(PyObject* s, Emit&& emit) {
    if (!PyUnicode_Check(s)) py::raise(PyExc_TypeError, "expected str, got " + py::type_name(s));
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    auto classify = [](char32_t c) {
        return kw::CodePoint{Py_UNICODE_ISALNUM(c) != 0, static_cast<char32_t>(Py_UNICODE_TOLOWER(c))};
    };
    kw::for_each_token(n, [&](std::size_t i) { return static_cast<char32_t>(PyUnicode_READ(kind, data, i)); },
                       classify, emit);
}

// The words of a str: (term, start, end) through emit, stemmed.
template <class Emit>
void words_of(PyObject* s, Emit&& emit) {
    tokens_of(s, [&](std::string& word, bool letters, std::size_t start, std::size_t end) {
        if (letters) kw::porter_stem(word);
        emit(word, start, end);
    });
}

// Segments of a list of buffers, checked, with their buffers held.
struct Segments {
    std::vector<std::unique_ptr<Buffer>> held;
    std::vector<kw::Segment> list;
    explicit Segments(PyObject* seq, bool deep = false) {
        py::Ref fast = py::check_ptr(PySequence_Fast(seq, "segments must be a sequence"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            held.push_back(std::make_unique<Buffer>(PySequence_Fast_GET_ITEM(fast.get(), i)));
            std::string why;
            auto s = kw::Segment::open(held.back()->data(), held.back()->size(), &why, deep);
            if (!s) py::raise(PyExc_ValueError, "a damaged keyword segment: " + why);
            list.push_back(*s);
        }
    }
};

std::vector<std::string> texts(PyObject* seq) {
    py::Ref fast = py::check_ptr(PySequence_Fast(seq, "expected a sequence of str"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(text_of(PySequence_Fast_GET_ITEM(fast.get(), i)));
    return out;
}

// The rows a mask (a buffer of one byte per row, or None) and a limit allow.
struct Allowed {
    std::optional<Buffer> mask;
    kw::Rows rows;
    Allowed(PyObject* mask_obj, PyObject* limit) {
        rows.limit = whole(limit, "limit");
        if (mask_obj != Py_None) {
            mask.emplace(mask_obj);
            if (mask->item() != 1) py::raise(PyExc_ValueError, "a row mask holds one byte per row");
            rows.mask = mask->data();
            rows.mask_size = mask->size();
        }
    }
};

py::Ref bytes_of(const std::string& s) {
    return py::made(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// keyword_words(text) -> [(term, start, end)]
PyObject* keyword_words(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("keyword_words", n, 1);
        py::Ref out = py::made(PyList_New(0));
        words_of(a[0], [&](const std::string& term, std::size_t start, std::size_t end) {
            py::Ref t = py::made(Py_BuildValue("(s#nn)", term.data(), static_cast<Py_ssize_t>(term.size()),
                                               static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end)));
            py::check(PyList_Append(out.get(), t.get()));
        });
        return out.release();
    });
}

// keyword_spans(text, terms) -> [(start, end)] of the words of text whose term is one of terms
PyObject* keyword_spans(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("keyword_spans", n, 2);
        const std::vector<std::string> wanted = texts(a[1]);
        py::Ref out = py::made(PyList_New(0));
        if (wanted.empty()) return out.release();
        words_of(a[0], [&](const std::string& term, std::size_t start, std::size_t end) {
            if (std::find(wanted.begin(), wanted.end(), term) == wanted.end()) return;
            py::Ref t = py::made(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end)));
            py::check(PyList_Append(out.get(), t.get()));
        });
        return out.release();
    });
}

// keyword_segment(rows, titles, texts, first_row, row_count, title_weight) -> bytes
PyObject* keyword_segment(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("keyword_segment", n, 6);
        py::Ref rows = py::check_ptr(PySequence_Fast(a[0], "rows must be a sequence"));
        py::Ref titles = py::check_ptr(PySequence_Fast(a[1], "titles must be a sequence"));
        py::Ref bodies = py::check_ptr(PySequence_Fast(a[2], "texts must be a sequence"));
        const std::uint64_t first = whole(a[3], "first_row"), count = whole(a[4], "row_count");
        const double weight = real(a[5]);
        const Py_ssize_t docs = PySequence_Fast_GET_SIZE(rows.get());
        if (PySequence_Fast_GET_SIZE(titles.get()) != docs || PySequence_Fast_GET_SIZE(bodies.get()) != docs)
            py::raise(PyExc_ValueError, "rows, titles and texts differ in length");
        if (!(weight >= 0 && weight <= 1000)) py::raise(PyExc_ValueError, "title_weight must be in [0, 1000]");
        if (first + count > 0xFFFFFFFFull) py::raise(PyExc_ValueError, "rows past 2**32 - 1");
        // Checked and held here; tokenised and built without the GIL (a str's characters do
        // not change while a reference to it is held).
        std::vector<std::uint64_t> row_of(static_cast<std::size_t>(docs));
        std::vector<py::Ref> held;
        held.reserve(2 * static_cast<std::size_t>(docs));
        std::uint64_t last = 0;
        for (Py_ssize_t i = 0; i < docs; ++i) {
            const std::uint64_t row = whole(PySequence_Fast_GET_ITEM(rows.get(), i), "row");
            if (row < first || row - first >= count || (i > 0 && row <= last))
                py::raise(PyExc_ValueError, "rows must ascend within [first_row, first_row + row_count)");
            last = row_of[static_cast<std::size_t>(i)] = row;
            for (PyObject* s : {PySequence_Fast_GET_ITEM(titles.get(), i), PySequence_Fast_GET_ITEM(bodies.get(), i)}) {
                if (!PyUnicode_Check(s)) py::raise(PyExc_TypeError, "expected str, got " + py::type_name(s));
                held.push_back(py::Ref::borrow(s));
            }
        }
        kw::Builder builder(first, count, static_cast<float>(weight));
        std::string built;
        {
            WithoutGil unlocked;
            std::vector<std::pair<std::uint32_t, float>> seen, doc;
            for (std::size_t i = 0; i < row_of.size(); ++i) {
                seen.clear();
                float length = 0;
                auto add = [&](float w) {
                    return [&, w](const std::string& word, bool letters, std::size_t, std::size_t) {
                        seen.emplace_back(builder.term_of(word, letters), w);
                        length += w;
                    };
                };
                tokens_of(held[2 * i].get(), add(static_cast<float>(weight)));
                tokens_of(held[2 * i + 1].get(), add(1.0f));
                std::sort(seen.begin(), seen.end());
                doc.clear();
                for (const auto& [term, w] : seen) {
                    if (!doc.empty() && doc.back().first == term) doc.back().second += w;
                    else doc.emplace_back(term, w);
                }
                builder.add(row_of[i], doc, length);
            }
            built = builder.finish();
        }
        return bytes_of(built).release();
    });
}

// keyword_merge(segments, row_map or None, map_first, first_row, row_count, title_weight) -> bytes
PyObject* keyword_merge(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("keyword_merge", n, 6);
        Segments segs(a[0]);
        std::optional<Buffer> map;
        std::span<const std::int64_t> moves;
        if (a[1] != Py_None) {
            map.emplace(a[1]);
            if (map->item() != 8) py::raise(PyExc_ValueError, "row_map must hold int64");
            moves = {reinterpret_cast<const std::int64_t*>(map->data()), map->size() / 8};
        }
        const std::uint64_t map_first = whole(a[2], "map_first"), first = whole(a[3], "first_row"),
                            count = whole(a[4], "row_count");
        if (first + count > 0xFFFFFFFFull) py::raise(PyExc_ValueError, "rows past 2**32 - 1");
        std::string out;
        const float weight = static_cast<float>(real(a[5]));
        Py_BEGIN_ALLOW_THREADS
        out = kw::merge(segs.list, moves, map_first, first, count, weight);
        Py_END_ALLOW_THREADS
        return bytes_of(out).release();
    });
}

// keyword_check(segment) -> (first_row, row_count, terms, postings, title_weight); ValueError if damaged
PyObject* keyword_check(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("keyword_check", n, 1);
        py::Ref list = py::made(PyList_New(0));
        py::check(PyList_Append(list.get(), a[0]));
        Segments segs(list.get(), true);
        const kw::Header& h = segs.list[0].header();
        return py::made(Py_BuildValue("(KKKKd)", static_cast<unsigned long long>(h.first_row),
                                      static_cast<unsigned long long>(h.rows), static_cast<unsigned long long>(h.terms),
                                      static_cast<unsigned long long>(h.postings), static_cast<double>(h.title_weight)))
            .release();
    });
}

// keyword_counts(segments, terms, live or None, limit) -> [documents holding each term]
PyObject* keyword_counts(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("keyword_counts", n, 4);
        Segments segs(a[0]);
        const std::vector<std::string> terms = texts(a[1]);
        Allowed live(a[2], a[3]);
        std::vector<std::uint64_t> got;
        Py_BEGIN_ALLOW_THREADS
        got = kw::holding(segs.list, terms, live.rows);
        Py_END_ALLOW_THREADS
        py::Ref out = py::made(PyList_New(static_cast<Py_ssize_t>(got.size())));
        for (std::size_t i = 0; i < got.size(); ++i)
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), py::made(PyLong_FromUnsignedLongLong(got[i])).release());
        return out.release();
    });
}

// keyword_length(segments, live or None, limit) -> the live rows' weighted lengths summed
PyObject* keyword_length(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("keyword_length", n, 3);
        Segments segs(a[0]);
        Allowed live(a[1], a[2]);
        double sum = 0;
        Py_BEGIN_ALLOW_THREADS
        sum = kw::total_length(segs.list, live.rows);
        Py_END_ALLOW_THREADS
        return py::made(PyFloat_FromDouble(sum)).release();
    });
}

// keyword_best(segments, terms, counts, documents, average_length, allowed or None, limit, k)
//   -> (rows as int64 bytes, scores as float64 bytes), best first
PyObject* keyword_best(PyObject*, PyObject* const* a, Py_ssize_t n) {
    return py::guarded([&]() -> PyObject* {
        arity("keyword_best", n, 8);
        Segments segs(a[0]);
        const std::vector<std::string> words = texts(a[1]);
        py::Ref counts = py::check_ptr(PySequence_Fast(a[2], "counts must be a sequence"));
        if (PySequence_Fast_GET_SIZE(counts.get()) != static_cast<Py_ssize_t>(words.size()))
            py::raise(PyExc_ValueError, "terms and counts differ in length");
        std::vector<kw::Term> terms;
        for (std::size_t i = 0; i < words.size(); ++i)
            terms.push_back({words[i], real(PySequence_Fast_GET_ITEM(counts.get(), static_cast<Py_ssize_t>(i)))});
        const kw::Collection c{real(a[3]), real(a[4])};
        Allowed allowed(a[5], a[6]);
        const std::uint64_t k = whole(a[7], "k");
        std::vector<std::pair<std::uint64_t, double>> got;
        Py_BEGIN_ALLOW_THREADS
        got = kw::best(segs.list, terms, c, allowed.rows, static_cast<std::size_t>(std::min<std::uint64_t>(k, 1u << 26)));
        Py_END_ALLOW_THREADS
        std::string rows(got.size() * 8, '\0'), scores(got.size() * 8, '\0');
        for (std::size_t i = 0; i < got.size(); ++i) {
            const auto r = static_cast<std::int64_t>(got[i].first);
            std::memcpy(rows.data() + 8 * i, &r, 8);
            std::memcpy(scores.data() + 8 * i, &got[i].second, 8);
        }
        py::Ref r = bytes_of(rows), s = bytes_of(scores);
        return py::made(PyTuple_Pack(2, r.get(), s.get())).release();
    });
}

#define TARNEXA_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL

PyMethodDef g_methods[] = {
    {"keyword_words", TARNEXA_FASTCALL(keyword_words),
     "keyword_words(text, /)\n--\n\nThe words of text as the keyword index reads them: (term, start, end)."},
    {"keyword_spans", TARNEXA_FASTCALL(keyword_spans),
     "keyword_spans(text, terms, /)\n--\n\nWhere in text the words whose term is one of terms lie: (start, end)."},
    {"keyword_segment", TARNEXA_FASTCALL(keyword_segment),
     "keyword_segment(rows, titles, texts, first_row, row_count, title_weight, /)\n--\n\n"
     "A keyword segment of the documents given (rows ascending), as bytes."},
    {"keyword_merge", TARNEXA_FASTCALL(keyword_merge),
     "keyword_merge(segments, row_map, map_first, first_row, row_count, title_weight, /)\n--\n\n"
     "The segments as one, rows moved by row_map (int64, -1: dropped; None: kept), as bytes."},
    {"keyword_check", TARNEXA_FASTCALL(keyword_check),
     "keyword_check(segment, /)\n--\n\n(first_row, row_count, terms, postings, title_weight), or ValueError."},
    {"keyword_counts", TARNEXA_FASTCALL(keyword_counts),
     "keyword_counts(segments, terms, live, limit, /)\n--\n\nHow many allowed rows hold each term."},
    {"keyword_length", TARNEXA_FASTCALL(keyword_length),
     "keyword_length(segments, live, limit, /)\n--\n\nThe allowed rows' weighted lengths summed."},
    {"keyword_best", TARNEXA_FASTCALL(keyword_best),
     "keyword_best(segments, terms, counts, documents, average_length, allowed, limit, k, /)\n--\n\n"
     "The best k allowed rows by BM25: (int64 rows, float64 scores) as bytes, best first."},
    {nullptr, nullptr, 0, nullptr}};

#undef TARNEXA_FASTCALL

}  // namespace

PyMethodDef* keyword_methods() { return g_methods; }

}  // namespace tarnexa::native
