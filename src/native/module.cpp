// tarnexa._native: the package's private helpers, computed by the module's own scoring code so
// that the package never restates one of its formulas in Python. Not part of _tarnexa's surface.
#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "boundary/arguments.hpp"
#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "boundary/numpy_api.hpp"
#include "modifiers/modifiers.hpp"
#include "native/args.hpp"
#include "native/exported.hpp"
#include "native/fusion_entries.hpp"
#include "native/checksum_entries.hpp"
#include "native/hashed_entries.hpp"
#include "native/keyword_entries.hpp"
#include "scoring/parameters.hpp"
#include "scoring/prepare.hpp"
#include "scoring/quantized.hpp"
#include "scoring/score.hpp"

namespace tarnexa::native {
namespace {

using C = params::Conv;

// like_query(query_vec, liked_rows): the query blended with the liked rows' centroid exactly as
// score_candidates blends it with like_ids (the rows in the order given), as float32 bytes.
enum LikeParameter { kQueryVec, kLikedRows };
constexpr params::Param kLikeParams[] = {{"query_vec", C::vec_f32}, {"liked_rows", C::matrix_f32}};
constexpr params::Function kLikeFunction{
    "like_query", kLikeParams,
    "The query blended 0.5/0.5 with the normalised centroid of liked_rows (at least one), as\n"
    "score_candidates blends it for like_ids; float32 bytes."};

PyObject* like_query(PyObject*, PyObject* const* a) {
    py::CallContext ctx;
    const py::Arguments v(kLikeParams, a, ctx);
    ctx.arguments_converted();
    const MatrixView rows = v.array(kLikedRows).matrix();
    const VecView<float> query = v.array(kQueryVec).vec<float>();
    if (rows.rows == 0) py::raise(PyExc_ValueError, "liked_rows has no rows");
    if (rows.cols != query.size()) py::raise(PyExc_ValueError, "liked_rows and query_vec differ in width");
    std::vector<std::uint64_t> order(rows.rows);
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    const scoring::Vector q = *scoring::prepare_query(rows, query, order);
    return py::made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(q.data()),
                                              static_cast<Py_ssize_t>(q.size() * sizeof(float))))
        .release();
}

// round4(x): a score rounded to four decimals as score_candidates reports it.
constexpr params::Param kRoundParams[] = {{"x", C::real}};
constexpr params::Function kRoundFunction{"round4", kRoundParams,
                                          "x rounded to four decimals as score_candidates rounds its scores."};

PyObject* round4(PyObject*, PyObject* const* a) {
    py::CallContext ctx;
    const py::Arguments v(kRoundParams, a, ctx);
    return py::made(PyFloat_FromDouble(scoring::round4(v.real(0)))).release();
}

// ---- the int8 copy of a matrix ----

// code_width(dims): bytes a row of codes takes, padded to a multiple of 4.
constexpr params::Param kWidthParams[] = {{"dims", C::count}};
constexpr params::Function kWidthFunction{"code_width", kWidthParams,
                                          "Bytes of a row of int8 codes: dims, padded with zeros to a multiple of 4."};

PyObject* code_width(PyObject*, PyObject* const* a) {
    py::CallContext ctx;
    const py::Arguments v(kWidthParams, a, ctx);
    if (v.count(0) > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max() - 3))
        py::raise(PyExc_OverflowError, "dims is too large");
    return py::made(PyLong_FromSize_t(scoring::code_width(static_cast<std::size_t>(v.count(0))))).release();
}

// quantize(matrix): codes (n, code_width(dims)) int8, scales (n,) and bound terms (n,) float32
// of every row, as three new arrays.
constexpr params::Param kQuantizeParams[] = {{"matrix", C::matrix_f32}};
constexpr params::Function kQuantizeFunction{
    "quantize", kQuantizeParams,
    "The int8 copy of the rows of matrix as three new arrays: codes (n, code_width(dims)) int8,\n"
    "padded with zeros, and float32 scales and bound terms (n,)."};

PyObject* quantize(PyObject*, PyObject* const* a) {
    py::CallContext ctx;
    const py::Arguments v(kQuantizeParams, a, ctx);
    ctx.arguments_converted();
    const MatrixView m = v.array(0).matrix();
    const std::size_t n = m.rows, width = scoring::code_width(m.cols);
    const numpy::Api& np = numpy::api();
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(width)};
    py::Ref codes = py::made(np.new_array(numpy::kInt8, 2, shape));
    py::Ref scales = py::made(np.new_array(numpy::kFloat32, 1, shape));
    py::Ref bounds = py::made(np.new_array(numpy::kFloat32, 1, shape));
    auto* c = reinterpret_cast<std::int8_t*>(numpy::fields(codes.get())->data);
    auto* s = reinterpret_cast<float*>(numpy::fields(scales.get())->data);
    auto* b = reinterpret_cast<float*>(numpy::fields(bounds.get())->data);
    if (n != 0) std::memset(c, 0, n * width);
    for (std::size_t r = 0; r < n; ++r) scoring::quantize_row(m, r, c + r * width, s[r], b[r]);
    return py::made(PyTuple_Pack(3, codes.get(), scales.get(), bounds.get())).release();
}

// The int8 copy as a search reads it: codes from quantize, scales and bounds contiguous.
enum CopyParameter { kCodes, kScales, kBounds };
constexpr std::size_t kCopyCount = kBounds + 1;
constexpr params::Param kCopyParams[kCopyCount] = {
    {"codes", C::codes_i8}, {"scales", C::vec_f32}, {"bounds", C::vec_f32}};

scoring::QuantizedRows quantized_of(const py::Arguments& copy, std::size_t dims) {
    const CodesView c = copy.array(kCodes).codes();
    const VecView<float> s = copy.array(kScales).vec<float>(), b = copy.array(kBounds).vec<float>();
    const std::ptrdiff_t f = sizeof(float);
    if (s.stride != f || b.stride != f || c.row_stride < 0 || static_cast<std::size_t>(c.row_stride) < dims ||
        c.cols < dims || s.size() != c.rows || b.size() != c.rows)
        py::raise(PyExc_ValueError, "the int8 copy does not fit the matrix");
    return {c.data, static_cast<std::size_t>(c.row_stride), s.data ? reinterpret_cast<const float*>(s.data) : nullptr,
            b.data ? reinterpret_cast<const float*>(b.data) : nullptr, c.rows};
}

// search_int8(codes, scales, bounds, <score_candidates' eighteen parameters>): the result of
// score_candidates, computed by scanning the int8 copy and rescoring the rows that can reach it.
using scoring::kParameterCount;
constexpr auto kSearchParams = [] {
    std::array<params::Param, kCopyCount + kParameterCount> p{};
    std::copy(std::begin(kCopyParams), std::end(kCopyParams), p.begin());
    std::copy(std::begin(scoring::kParameters), std::end(scoring::kParameters), p.begin() + kCopyCount);
    return p;
}();
// The position of a parameter in search_int8's table.
constexpr std::size_t search_position(std::string_view name) {
    for (std::size_t i = 0; i < kSearchParams.size(); ++i)
        if (kSearchParams[i].name == name) return i;
    return kSearchParams.size();
}
#define TARNEXA_SEARCH_HEAD                                                                         \
    "score_candidates' result, computed from an int8 copy of the matrix (codes, scales and bounds\n" \
    "from quantize) and the float32 rows that copy cannot rule out"
constexpr params::Function kSearchFunction{"search_int8", kSearchParams, TARNEXA_SEARCH_HEAD ".\n\n"};
constexpr params::Function kSearchCountedFunction{
    "search_int8_counted", kSearchParams,
    TARNEXA_SEARCH_HEAD ", with the\nnumber of rows rescored in float32 (-1: the float32 matrix was scanned instead).\n\n"};
#undef TARNEXA_SEARCH_HEAD

// Ids held natively, built once: the texts back to back, their end offsets and an open-addressing
// table of row numbers keyed by the text (uint32 slots, at most two thirds full: 6 bytes a row
// beyond the offsets' 8 and the text itself). A text listed twice maps to its last row, as a dict
// built in list order would.
class IdTable {
public:
    explicit IdTable(const py::TextList& ids) {
        const std::size_t n = ids.size();
        if (n >= std::numeric_limits<std::uint32_t>::max()) py::raise(PyExc_ValueError, "too many ids");
        ends_.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            text_.append(ids.text(i));
            ends_.push_back(text_.size());
        }
        slots_.assign(std::max<std::size_t>(16, n + n / 2 + 1), 0);
        for (std::size_t i = 0; i < n; ++i) slots_[probe(text(i))] = static_cast<std::uint32_t>(i + 1);
    }
    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view text(std::size_t row) const noexcept {
        const std::size_t a = row ? ends_[row - 1] : 0;
        return std::string_view(text_).substr(a, ends_[row] - a);
    }
    std::optional<std::uint64_t> find(std::string_view id) const noexcept {
        const std::uint32_t slot = slots_[probe(id)];
        if (slot == 0) return std::nullopt;
        return slot - 1;
    }

private:
    // The slot holding id, or the empty slot where it would go.
    std::size_t probe(std::string_view id) const noexcept {
        const std::size_t cap = slots_.size();
        std::size_t i = std::hash<std::string_view>{}(id) % cap;
        while (slots_[i] != 0 && text(slots_[i] - 1) != id) i = i + 1 == cap ? 0 : i + 1;
        return i;
    }
    std::string text_;
    std::vector<std::uint64_t> ends_;
    std::vector<std::uint32_t> slots_;
};

// The int8 search around the pipeline's entry: `copy` the int8 copy's arrays (converted after the
// eighteen); the ids are the call's own, or a table held by a searcher object.
struct Int8Core final : entries::ScoreCore {
    PyObject* const* copy_slots = nullptr;
    const IdTable* table = nullptr;
    std::optional<py::Arguments> copy;
    long long rescored = -1;  // rows rescored in float32; -1 when the float32 scan ran instead

    void convert_more(PyObject* const*, py::CallContext& ctx) override { copy.emplace(kCopyParams, copy_slots, ctx); }
    scoring::Outcome run(const scoring::Request& r) override {
        scoring::QuantizedStats stats;
        scoring::Outcome out = scoring::search_quantized(r, quantized_of(*copy, r.matrix.cols), &stats);
        rescored = stats.scanned ? static_cast<long long>(stats.rescored) : -1;
        return out;
    }
    bool owns_ids() const override { return table != nullptr; }
    std::size_t id_count() const override { return table->size(); }
    std::optional<std::uint64_t> row_of(std::string_view id) const override { return table->find(id); }
    py::Ref id_object(std::uint64_t row) const override {
        const std::string_view t = table->text(static_cast<std::size_t>(row));
        return py::made(PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size())));
    }
};

// The hits of a search with the rows it rescored: (hits, rescored).
PyObject* with_count(PyObject* hits, const Int8Core& core) {
    py::Ref list = py::Ref::steal(hits);
    py::Ref count = py::made(PyLong_FromLongLong(core.rescored));
    return py::made(PyTuple_Pack(2, list.get(), count.get())).release();
}

template <bool kCounted>
PyObject* search_int8(PyObject*, PyObject* const* a) {
    Int8Core core;
    core.copy_slots = a;
    PyObject* hits = entries::score_call(a + kCopyCount, core);
    return kCounted ? with_count(hits, core) : hits;
}

// ---- the searcher object ----
// Int8Searcher: the int8 copy, the matrix and the timestamps (held, converted again by each
// search, which costs no copy), and the ids as an IdTable built once, so that a query never walks
// every id. Made by int8_searcher(); search() takes score_candidates' other parameters.
enum MakeParameter { kMakeCodes, kMakeScales, kMakeBounds, kMakeMatrix, kMakeIds, kMakeTimestamps, kMakeCount };
constexpr params::Param kMakeParams[kMakeCount] = {
    kCopyParams[kCodes], kCopyParams[kScales], kCopyParams[kBounds], {"matrix", C::matrix_f32}, {"ids", C::texts},
    {"timestamps", C::vec_f64, params::kNone}};
constexpr params::Function kMakeFunction{
    "int8_searcher", kMakeParams,
    "An Int8Searcher holding the int8 copy, the matrix, the timestamps and the ids (their texts\n"
    "and a table of rows by text, built once)."};

struct SearcherObject {
    PyObject_HEAD
    IdTable* ids;
    PyObject* held[kMakeCount];  // int8_searcher's arguments but the ids; null when not given
};
PyTypeObject* g_searcher_type = nullptr;

PyObject* int8_searcher(PyObject*, PyObject* const* a) {
    py::CallContext ctx;
    const py::Arguments v(kMakeParams, a, ctx);
    ctx.arguments_converted();
    auto table = std::make_unique<IdTable>(v.texts(kMakeIds));
    auto* obj = reinterpret_cast<SearcherObject*>(
        py::made(reinterpret_cast<PyObject*>(PyObject_New(SearcherObject, g_searcher_type))).release());
    obj->ids = table.release();
    for (std::size_t p = 0; p < kMakeCount; ++p)
        obj->held[p] = p == kMakeIds || !v.given(p) ? nullptr : Py_NewRef(a[p]);
    return reinterpret_cast<PyObject*>(obj);
}

// search()'s parameters: score_candidates' own but the four the searcher holds.
constexpr bool held_parameter(std::size_t p) {
    return p == scoring::kMatrix || p == scoring::kIds || p == scoring::kIdToIdx || p == scoring::kTimestamps;
}
constexpr std::size_t kQueryParamCount = scoring::kParameterCount - 4;
constexpr auto kQueryParams = [] {
    std::array<params::Param, kQueryParamCount> out{};
    std::size_t j = 0;
    for (std::size_t p = 0; p < scoring::kParameterCount; ++p)
        if (!held_parameter(p)) out[j++] = scoring::kParameters[p];
    return out;
}();
constexpr params::Function kSearchMethodFunction{
    "search", kQueryParams, "score_candidates on the held matrix, ids and timestamps, through the int8 copy.\n\n"};
constexpr params::Function kSearchCountedMethodFunction{
    "search_counted", kQueryParams,
    "search(), with the number of rows rescored in float32 (-1: the float32 matrix was scanned\n"
    "instead).\n\n"};

// search_int8's slots for a held searcher's search: the held arrays, then the query's arguments,
// each at the position of its name.
template <bool kCounted>
PyObject* searcher_search(PyObject* self, PyObject* const* slots) {
    auto* obj = reinterpret_cast<SearcherObject*>(self);
    PyObject* a[kSearchParams.size()] = {};
    for (std::size_t p = 0; p < kMakeCount; ++p)
        if (p != kMakeIds) a[search_position(kMakeParams[p].name)] = obj->held[p];
    for (std::size_t j = 0; j < kQueryParamCount; ++j) a[search_position(kQueryParams[j].name)] = slots[j];
    Int8Core core;
    core.copy_slots = a;
    core.table = obj->ids;
    PyObject* hits = entries::score_call(a + kCopyCount, core);
    return kCounted ? with_count(hits, core) : hits;
}

// search_many(queries, keywords): search(queries[i], **keywords[i]) for every i, the searches
// sharing one pass over the codes, computed without the GIL. Every query's arguments are bound
// and converted as its own call would (its first refusal raised as that call raises it), then the
// scans run, then the results are built. Each query keeps its own context (its arrays and their
// borrows) and its values from the dict, so nothing the scans read can go while they run.
enum ManyParameter { kQueries, kKeywords };
constexpr params::Param kManyParams[] = {{"queries", C::matrix_f32}, {"keywords", C::keywords}};
constexpr params::Function kSearchManyFunction{
    "search_many", kManyParams,
    "[search(queries[i], **keywords[i]) for each i] in one pass over the int8 copy, without the GIL:\n"
    "queries is (B, dims) float32, keywords a list of B dicts of search()'s other arguments."};
constexpr params::Function kSearchManyCountedFunction{
    "search_many_counted", kManyParams,
    "search_many(), with the list of the rows each query rescored in float32 (-1: the float32\n"
    "matrix was scanned instead)."};

struct OneQuery {
    py::CallContext ctx;
    Int8Core core;
    py::Ref row, names;
    std::vector<py::Ref> values;  // the dict's, held while the scans run
    std::optional<entries::ScoreArguments> args;
    PyObject* slots[kSearchParams.size()] = {};
};

extern const py::FunctionDesc& search_desc();

template <bool kCounted>
PyObject* searcher_search_many(PyObject* self, PyObject* const* slots) {
    const py::Ref keep = py::Ref::borrow(self);
    auto* obj = reinterpret_cast<SearcherObject*>(self);
    py::CallContext outer;
    const MatrixView queries = py::convert_arg(kManyParams[kQueries].name, [&]() -> const py::ArrayArg& {
        return py::to_array(slots[kQueries], C::matrix_f32, outer, kManyParams[kQueries].name);
    }).matrix();
    PyObject* list = slots[kKeywords];
    if (!PyList_Check(list) && !PyTuple_Check(list)) py::raise(PyExc_TypeError, "keywords must be a list of dicts");
    const py::Ref dicts = py::check_ptr(PySequence_Tuple(list));  // as it is now, whatever Python code does to it
    const std::size_t b = queries.rows;
    if (static_cast<std::size_t>(PyTuple_GET_SIZE(dicts.get())) != b)
        py::raise(PyExc_ValueError, "queries and keywords differ in length");

    std::vector<std::unique_ptr<OneQuery>> calls;
    std::vector<scoring::Request> requests;
    calls.reserve(b);
    requests.reserve(b);
    std::optional<scoring::QuantizedRows> rows;
    for (std::size_t i = 0; i < b; ++i) {
        PyObject* dict = PyTuple_GET_ITEM(dicts.get(), static_cast<Py_ssize_t>(i));
        if (!PyDict_Check(dict)) py::raise(PyExc_TypeError, "keywords must be a list of dicts");
        OneQuery& q = *calls.emplace_back(std::make_unique<OneQuery>());
        q.row = py::check_ptr(PySequence_GetItem(slots[kQueries], static_cast<Py_ssize_t>(i)));
        // The vectorcall search(queries[i], **dict) makes: the row, then the values named by the keys.
        const Py_ssize_t nkw = PyDict_GET_SIZE(dict);
        q.names = py::made(PyTuple_New(nkw));
        std::vector<PyObject*> args{q.row.get()};
        Py_ssize_t pos = 0, j = 0;
        PyObject *key, *value;
        while (j < nkw && PyDict_Next(dict, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) py::raise(PyExc_TypeError, "keywords must be strings");
            PyTuple_SET_ITEM(q.names.get(), j++, Py_NewRef(key));
            q.values.push_back(py::Ref::borrow(value));
            args.push_back(value);
        }
        PyObject* bound[kQueryParamCount];
        py::bind(search_desc(), args.data(), 1, q.names.get(), bound);
        for (std::size_t p = 0; p < kMakeCount; ++p)
            if (p != kMakeIds) q.slots[search_position(kMakeParams[p].name)] = obj->held[p];
        for (std::size_t k = 0; k < kQueryParamCount; ++k) q.slots[search_position(kQueryParams[k].name)] = bound[k];
        q.core.copy_slots = q.slots;
        q.core.table = obj->ids;
        // score_call's steps up to its run, and what its run checks before computing.
        q.args.emplace(entries::convert_score(q.slots + kCopyCount, q.ctx, true));
        q.core.convert_more(q.slots, q.ctx);
        q.ctx.arguments_converted();
        scoring::Request& r = requests.emplace_back(entries::score_request(*q.args, q.core));
        if (!rows) rows = quantized_of(*q.core.copy, r.matrix.cols);
        if (std::optional<scoring::Outcome> wrong = scoring::mismatched(r)) entries::score_result(*wrong, *q.args, q.core);
    }
    // Python code that ran while later queries were converted left every array as converted.
    outer.arguments_converted();
    for (const auto& q : calls) q->ctx.arguments_converted();

    std::vector<scoring::Outcome> outcomes;
    std::vector<scoring::QuantizedStats> stats;
    if (b != 0) {
        const WithoutGil released;
        outcomes = scoring::search_quantized_many(requests, *rows, kCounted ? &stats : nullptr);
    }
    py::Ref results = py::made(PyList_New(static_cast<Py_ssize_t>(b)));
    for (std::size_t i = 0; i < b; ++i)
        PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i),
                        entries::score_result(outcomes[i], *calls[i]->args, calls[i]->core));
    if constexpr (!kCounted) {
        return results.release();
    } else {
        py::Ref counts = py::made(PyList_New(static_cast<Py_ssize_t>(b)));
        for (std::size_t i = 0; i < b; ++i)
            PyList_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(i),
                            py::made(PyLong_FromLongLong(stats[i].scanned ? static_cast<long long>(stats[i].rescored) : -1))
                                .release());
        return py::made(PyTuple_Pack(2, results.get(), counts.get())).release();
    }
}

// Int8Searcher.rows(ids): the held row of each id of a sequence of str, -1 for an id not held.
PyObject* searcher_rows(PyObject* self, PyObject* arg) noexcept {
    return py::guarded([&]() -> PyObject* {
        const IdTable& table = *reinterpret_cast<SearcherObject*>(self)->ids;
        py::Ref seq = py::check_ptr(PySequence_Fast(arg, "rows() takes a sequence of ids"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        py::Ref out = py::made(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* id = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (!PyUnicode_Check(id)) py::raise(PyExc_TypeError, "rows() takes ids as str");
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(id, &len);
            long long row = -1;
            if (utf8 != nullptr) {
                if (const auto r = table.find(std::string_view(utf8, static_cast<std::size_t>(len)))) row = static_cast<long long>(*r);
            } else if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                PyErr_Clear();  // a lone surrogate: no held id has one
            } else {
                py::throw_pending();
            }
            PyList_SET_ITEM(out.get(), i, py::made(PyLong_FromLongLong(row)).release());
        }
        return out.release();
    });
}

void searcher_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<SearcherObject*>(self);
    delete obj->ids;
    for (PyObject*& h : obj->held) Py_CLEAR(h);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- the modifier line ----

py::Ref utf8_text(std::string_view s) {
    return py::made(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}
py::Ref size_object(std::size_t n) { return py::made(PyLong_FromSize_t(n)); }
py::Ref tuple_of(std::initializer_list<PyObject*> items) {
    py::Ref t = py::made(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}

// What one token alone sets: True for a flag, the number (None when invalid), the text, the
// pieces; None for a token no rule matches.
py::Ref token_value(const modifiers::Token& t) {
    using modifiers::Word;
    if (!t.rule) return py::Ref::borrow(Py_None);
    switch (*t.rule) {
        case Word::recent_days:
            return t.recent_days ? py::made(PyLong_FromLongLong(*t.recent_days)) : py::Ref::borrow(Py_None);
        case Word::limit:
            return t.limit ? py::made(PyLong_FromUnsignedLongLong(*t.limit)) : py::Ref::borrow(Py_None);
        case Word::unlike: return utf8_text(t.rest());
        case Word::like: {
            const std::vector<std::string> pieces = t.quoted ? *t.quoted : modifiers::like_pieces(t.rest());
            py::Ref list = py::made(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
            for (std::size_t i = 0; i < pieces.size(); ++i)
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), utf8_text(pieces[i]).release());
            return list;
        }
        default: return py::Ref::borrow(Py_True);
    }
}

const char* status_name(modifiers::Clause::Status s) {
    switch (s) {
        case modifiers::Clause::Status::taken: return "taken";
        case modifiers::Clause::Status::no_to: return "no_to";
        case modifiers::Clause::Status::empty: break;
    }
    return "empty";
}

// read_modifiers(line): (values, tokens, clause), the dict parse_modifiers returns and what the
// parse saw (positions in code points of the line).
constexpr params::Param kReadParams[] = {{"line", C::line}};
constexpr params::Function kReadFunction{
    "read_modifiers", kReadParams,
    "The modifier line parsed as parse_modifiers parses it (but for like:\"ID\",\"ID\", the quoted form\n"
    "of like: whose ids may hold spaces and commas), with what the parse saw:\n"
    "(values, tokens, clause). values is parse_modifiers' dict; tokens holds (text, start, end,\n"
    "rule, value) for each token scanned, rule being the word whose rule matched (\"\" for none) and\n"
    "value what the token alone sets; clause is None without \"from:\", else (status, start, end)\n"
    "with status \"taken\", \"no_to\" or \"empty\"."};

PyObject* read_modifiers(PyObject*, PyObject* const* a) {
    py::CallContext ctx;
    const py::Arguments v(kReadParams, a, ctx);
    const modifiers::Reading r = modifiers::read_modifiers(v.text(0));
    py::Ref values = entries::modifiers_dict(r.values);
    py::Ref tokens = py::made(PyList_New(static_cast<Py_ssize_t>(r.tokens.size())));
    for (std::size_t i = 0; i < r.tokens.size(); ++i) {
        const modifiers::Token& t = r.tokens[i];
        py::Ref text = utf8_text(t.text), start = size_object(t.start), end = size_object(t.end);
        py::Ref rule = utf8_text(t.rule ? modifiers::term(*t.rule).token : std::string_view());
        py::Ref value = token_value(t);
        PyList_SET_ITEM(tokens.get(), static_cast<Py_ssize_t>(i),
                        tuple_of({text.get(), start.get(), end.get(), rule.get(), value.get()}).release());
    }
    py::Ref clause = py::Ref::borrow(Py_None);
    if (r.clause) {
        py::Ref status = py::made(PyUnicode_FromString(status_name(r.clause->status)));
        py::Ref start = size_object(r.clause->start), end = size_object(r.clause->end);
        clause = tuple_of({status.get(), start.get(), end.get()});
    }
    return tuple_of({values.get(), tokens.get(), clause.get()}).release();
}

// modifier_vocabulary(): the parser's words as (token, key, usage, help, shown).
constexpr params::Function kVocabularyFunction{
    "modifier_vocabulary", {},
    "The words of the modifier line as (token, key, usage, help, shown), in the order a user is\n"
    "shown them; key is the key of parse_modifiers' dict a word sets."};

PyObject* modifier_vocabulary(PyObject*, PyObject* const*) {
    const auto& words = modifiers::kVocabulary;
    py::Ref out = py::made(PyTuple_New(static_cast<Py_ssize_t>(std::size(words))));
    for (std::size_t i = 0; i < std::size(words); ++i) {
        const modifiers::Term& w = words[i];
        py::Ref token = utf8_text(w.token), key = utf8_text(w.key), usage = utf8_text(w.usage), help = utf8_text(w.help);
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i),
                         tuple_of({token.get(), key.get(), usage.get(), help.get(), w.shown ? Py_True : Py_False})
                             .release());
    }
    return out.release();
}

// ---- the module ----

using LikeQuery = Exported<kLikeFunction, like_query>;
using Round4 = Exported<kRoundFunction, round4>;
using CodeWidth = Exported<kWidthFunction, code_width>;
using Quantize = Exported<kQuantizeFunction, quantize>;
using SearchInt8 = Exported<kSearchFunction, search_int8<false>>;
using SearchInt8Counted = Exported<kSearchCountedFunction, search_int8<true>>;
using MakeSearcher = Exported<kMakeFunction, int8_searcher>;
using ReadModifiers = Exported<kReadFunction, read_modifiers>;
using Vocabulary = Exported<kVocabularyFunction, modifier_vocabulary>;
using SearchMethod = Exported<kSearchMethodFunction, searcher_search<false>>;
using SearchCountedMethod = Exported<kSearchCountedMethodFunction, searcher_search<true>>;
using SearchManyMethod = Exported<kSearchManyFunction, searcher_search_many<false>>;
using SearchManyCountedMethod = Exported<kSearchManyCountedFunction, searcher_search_many<true>>;
const py::FunctionDesc& search_desc() { return SearchMethod::desc; }

constexpr const py::FunctionDesc* kFunctions[] = {
    &LikeQuery::desc,  &Round4::desc,        &CodeWidth::desc,     &Quantize::desc,  &SearchInt8::desc,
    &SearchInt8Counted::desc, &MakeSearcher::desc, &ReadModifiers::desc, &Vocabulary::desc};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "tarnexa._native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// A method of Int8Searcher: its text signature names the instance first ("$self").
PyMethodDef method(const py::FunctionDesc& d) {
    auto* doc = new std::string(py::docstring(d.fn));  // kept for the process
    doc->insert(std::strlen(d.name()) + 1, d.params().empty() ? "$self" : "$self, ");
    return {d.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(d.entry)), METH_FASTCALL | METH_KEYWORDS,
            doc->c_str()};
}

PyObject* init() {
    py::Ref module = py::check_ptr(PyModule_Create(&g_def));
    static PyMethodDef methods[] = {
        method(SearchMethod::desc),
        method(SearchCountedMethod::desc),
        method(SearchManyMethod::desc),
        method(SearchManyCountedMethod::desc),
        {"rows", &searcher_rows, METH_O, "rows($self, ids, /)\n--\n\nThe held row of each id, -1 for an id not held."},
        {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(&searcher_dealloc)},
                                  {Py_tp_methods, methods},
                                  {Py_tp_doc, const_cast<char*>("Exact search through an int8 copy.")},
                                  {0, nullptr}};
    static PyType_Spec spec = {"tarnexa._native.Int8Searcher", sizeof(SearcherObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    // Kept for the process, like the module's function objects.
    g_searcher_type = reinterpret_cast<PyTypeObject*>(py::check_ptr(PyType_FromSpec(&spec)).release());
    py::check(PyModule_AddObjectRef(module.get(), "Int8Searcher", reinterpret_cast<PyObject*>(g_searcher_type)));
    py::check(PyModule_AddFunctions(module.get(), keyword_methods()));
    py::check(PyModule_AddFunctions(module.get(), fusion_methods()));
    py::check(PyModule_AddFunctions(module.get(), hashed_methods()));
    py::check(PyModule_AddFunctions(module.get(), checksum_methods()));
    for (const py::FunctionDesc* e : kFunctions)
        py::check(PyModule_AddObjectRef(module.get(), e->name(), py::function_object(module.get(), *e).get()));
    return module.release();
}

}  // namespace
}  // namespace tarnexa::native

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return tarnexa::py::guarded([] { return tarnexa::native::init(); });
}
