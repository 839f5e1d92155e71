// tarnexa._native: the package's private helpers, computed by the module's own scoring code so
// that the package never restates one of its formulas in Python. Not part of _tarnexa's surface.
#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <cstring>
#include <string_view>

#include "boundary/binding.hpp"
#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "kernels/int8.hpp"
#include "scoring/parameters.hpp"
#include "scoring/prepare.hpp"
#include "scoring/quantized.hpp"
#include "scoring/score.hpp"

namespace tarnexa::native {
namespace {

using C = params::Conv;

// like_query(query_vec, liked_rows): the query blended with the liked rows' centroid exactly as
// score_candidates blends it with like_ids (the rows in the order given), as float32 bytes.
enum LikeParameter { kQueryVec, kLikedRows, kLikeCount };
constexpr params::Param kLikeParams[kLikeCount] = {{"query_vec", C::vec_f32}, {"liked_rows", C::matrix_f32}};
constexpr params::Function kLikeFunction{
    "like_query", kLikeParams,
    "The query blended 0.5/0.5 with the normalised centroid of liked_rows (at least one), as\n"
    "score_candidates blends it for like_ids; float32 bytes."};
PyObject* g_like_names[kLikeCount];

PyObject* like_query(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kLikeQuery{kLikeFunction, like_query, g_like_names};

PyObject* like_query(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<kLikeCount>(kLikeQuery, args, nargsf, kwnames, [&](PyObject* const* a) {
        py::CallContext ctx;
        auto array = [&](LikeParameter p) -> const py::ArrayArg& {
            const char* name = kLikeParams[p].name;
            return py::convert_arg(name, [&]() -> py::ArrayArg& {
                return py::to_array(a[p], kLikeParams[p].conv, ctx, name);
            });
        };
        const py::ArrayArg& query = array(kQueryVec);
        const py::ArrayArg& liked = array(kLikedRows);
        ctx.arguments_converted();
        const MatrixView rows = liked.matrix();
        if (rows.rows == 0) py::raise(PyExc_ValueError, "liked_rows has no rows");
        if (rows.cols != query.vec<float>().size())
            py::raise(PyExc_ValueError, "liked_rows and query_vec differ in width");
        std::vector<std::uint64_t> order(rows.rows);
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        const scoring::Vector q = *scoring::prepare_query(rows, query.vec<float>(), order);
        return py::made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(q.data()),
                                                  static_cast<Py_ssize_t>(q.size() * sizeof(float))))
            .release();
    });
}

// round4(x): a score rounded to four decimals as score_candidates reports it.
constexpr params::Param kRoundParams[] = {{"x", C::real}};
constexpr params::Function kRoundFunction{"round4", kRoundParams,
                                          "x rounded to four decimals as score_candidates rounds its scores."};
PyObject* g_round_names[1];

PyObject* round4(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kRound4{kRoundFunction, round4, g_round_names};

PyObject* round4(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<1>(kRound4, args, nargsf, kwnames, [&](PyObject* const* a) {
        py::CallContext ctx;
        const double x = py::convert_arg(kRoundParams[0].name, [&] { return py::to_f64(a[0], ctx); });
        return py::made(PyFloat_FromDouble(scoring::round4(x))).release();
    });
}

// ---- the int8 copy of a matrix ----
// Row codes travel as float32 arrays viewed over their bytes (a row of codes padded with zeros
// to a multiple of 4 bytes), so the module's array conversion reads them in place.

// quantize(matrix): codes, scales and bound terms of every row, as one bytes object: n rows of
// code_stride(dims) bytes, then n float32 scales, then n float32 bound terms.
constexpr params::Param kQuantizeParams[] = {{"matrix", C::matrix_f32}};
constexpr params::Function kQuantizeFunction{
    "quantize", kQuantizeParams,
    "int8 codes (rows padded to 4 bytes), float32 scales and float32 bound terms of the rows of\n"
    "matrix, one after the other in one bytes object."};
PyObject* g_quantize_names[1];

PyObject* quantize(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kQuantize{kQuantizeFunction, quantize, g_quantize_names};

std::size_t code_stride(std::size_t dims) { return (dims + 3) / 4 * 4; }

PyObject* quantize(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<1>(kQuantize, args, nargsf, kwnames, [&](PyObject* const* a) {
        py::CallContext ctx;
        const py::ArrayArg& arr = py::convert_arg("matrix", [&]() -> py::ArrayArg& {
            return py::to_array(a[0], C::matrix_f32, ctx, "matrix");
        });
        ctx.arguments_converted();
        const MatrixView m = arr.matrix();
        const std::size_t stride = code_stride(m.cols), n = m.rows;
        py::Ref out = py::made(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * (stride + 8))));
        char* base = PyBytes_AS_STRING(out.get());
        std::memset(base, 0, n * stride);
        auto* codes = reinterpret_cast<std::int8_t*>(base);
        for (std::size_t r = 0; r < n; ++r) {
            float scale, bound;
            scoring::quantize_row(m, r, codes + r * stride, scale, bound);
            std::memcpy(base + n * stride + r * 4, &scale, 4);
            std::memcpy(base + n * (stride + 4) + r * 4, &bound, 4);
        }
        return out.release();
    });
}

// The int8 copy of the matrix as three arrays (codes viewed as float32, scales, bound terms).
scoring::QuantizedRows quantized_of(const py::ArrayArg& codes, const py::ArrayArg& scales,
                                    const py::ArrayArg& bounds, std::size_t dims) {
    const MatrixView c = codes.matrix();
    const VecView<float> s = scales.vec<float>(), b = bounds.vec<float>();
    const std::ptrdiff_t f = sizeof(float);
    if (c.col_stride != f || s.stride != f || b.stride != f || c.row_stride < 0 ||
        static_cast<std::size_t>(c.row_stride) < dims || c.cols * sizeof(float) < dims ||
        s.size() != c.rows || b.size() != c.rows)
        py::raise(PyExc_ValueError, "the int8 copy does not fit the matrix");
    return {reinterpret_cast<const std::int8_t*>(c.data), static_cast<std::size_t>(c.row_stride),
            s.data ? reinterpret_cast<const float*>(s.data) : nullptr,
            b.data ? reinterpret_cast<const float*>(b.data) : nullptr, c.rows};
}

// search_int8(codes, scales, bounds, <score_candidates' eighteen parameters>): the result of
// score_candidates, computed by scanning the int8 copy and rescoring the rows that can reach it.
using scoring::kParameterCount;
constexpr std::size_t kInt8Extra = 3;
constexpr auto kSearchParams = [] {
    std::array<params::Param, kInt8Extra + kParameterCount> p{};
    p[0] = {"codes", C::matrix_f32};
    p[1] = {"scales", C::vec_f32};
    p[2] = {"bounds", C::vec_f32};
    for (std::size_t i = 0; i < kParameterCount; ++i) p[kInt8Extra + i] = scoring::kParameters[i];
    return p;
}();
constexpr params::Function kSearchFunction{
    "search_int8", kSearchParams,
    "score_candidates' result, computed from an int8 copy of the matrix (codes from quantize,\n"
    "viewed as float32) and the float32 rows that copy cannot rule out.\n\n"};
PyObject* g_search_names[kSearchParams.size()];

PyObject* search_int8(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kSearchInt8{kSearchFunction, search_int8, g_search_names};

// Rows rescored by the calling thread's last search_int8, or -1 when it ran the float32 scan.
thread_local long long t_rescored = -1;

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

// The int8 search around the pipeline's entry: a[0..2] are the int8 copy's arrays; the ids are
// the call's own, or a table held by a searcher object.
struct Int8Core final : entries::ScoreCore {
    const py::ArrayArg* arrays[kInt8Extra] = {};
    PyObject* const* extra = nullptr;
    const IdTable* table = nullptr;
    void convert_more(PyObject* const*, py::CallContext& ctx) override {
        for (std::size_t i = 0; i < kInt8Extra; ++i) {
            const char* name = kSearchParams[i].name;
            arrays[i] = &py::convert_arg(name, [&]() -> py::ArrayArg& {
                return py::to_array(extra[i], kSearchParams[i].conv, ctx, name);
            });
        }
    }
    scoring::Outcome run(const scoring::Request& r) override {
        const scoring::QuantizedRows q = quantized_of(*arrays[0], *arrays[1], *arrays[2], r.matrix.cols);
        scoring::QuantizedStats stats;
        scoring::Outcome out = scoring::search_quantized(r, q, &stats);
        t_rescored = stats.scanned ? static_cast<long long>(stats.rescored) : -1;
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

PyObject* search_int8(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<kSearchParams.size()>(kSearchInt8, args, nargsf, kwnames, [&](PyObject* const* a) -> PyObject* {
        Int8Core core;
        core.extra = a;
        return entries::score_call(a + kInt8Extra, core);
    });
}

// ---- the searcher object ----
// Int8Searcher: the int8 copy, the matrix and the timestamps (held, converted again by each
// search, which costs no copy), and the ids as an IdTable built once, so that a query never walks
// every id. Made by int8_searcher(); search() takes score_candidates' other parameters.
enum Held { kHeldCodes, kHeldScales, kHeldBounds, kHeldMatrix, kHeldTimes, kHeldCount };
struct SearcherObject {
    PyObject_HEAD
    IdTable* ids;
    PyObject* held[kHeldCount];  // kHeldTimes may be null
};
PyTypeObject* g_searcher_type = nullptr;

// search()'s parameters: score_candidates' own but the four the searcher holds.
constexpr bool held_parameter(std::size_t p) {
    return p == scoring::kMatrix || p == scoring::kIds || p == scoring::kIdToIdx || p == scoring::kTimestamps;
}
constexpr std::size_t kQueryParamCount = scoring::kParameterCount - 4;
constexpr auto kQueryParamIndex = [] {
    std::array<std::size_t, kQueryParamCount> idx{};
    std::size_t j = 0;
    for (std::size_t p = 0; p < scoring::kParameterCount; ++p)
        if (!held_parameter(p)) idx[j++] = p;
    return idx;
}();
constexpr auto kQueryParams = [] {
    std::array<params::Param, kQueryParamCount> out{};
    for (std::size_t j = 0; j < kQueryParamCount; ++j) out[j] = scoring::kParameters[kQueryParamIndex[j]];
    return out;
}();
constexpr params::Function kSearchMethodFunction{
    "search", kQueryParams,
    "score_candidates on the held matrix, ids and timestamps, through the int8 copy.\n\n"};
PyObject* g_search_method_names[kQueryParamCount];
PyObject* searcher_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kSearchMethod{kSearchMethodFunction, searcher_search, g_search_method_names};

PyObject* searcher_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<kQueryParamCount>(kSearchMethod, args, nargsf, kwnames, [&](PyObject* const* slots) -> PyObject* {
        auto* obj = reinterpret_cast<SearcherObject*>(self);
        PyObject* a[kInt8Extra + scoring::kParameterCount] = {};
        for (std::size_t i = 0; i < kInt8Extra; ++i) a[i] = obj->held[i];
        PyObject** p = a + kInt8Extra;
        p[scoring::kMatrix] = obj->held[kHeldMatrix];
        p[scoring::kTimestamps] = obj->held[kHeldTimes];
        for (std::size_t j = 0; j < kQueryParamCount; ++j) p[kQueryParamIndex[j]] = slots[j];
        Int8Core core;
        core.extra = a;
        core.table = obj->ids;
        return entries::score_call(p, core);
    });
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

// int8_searcher(codes, scales, bounds, matrix, ids, timestamps=None)
constexpr params::Param kMakeParams[] = {{"codes", C::matrix_f32}, {"scales", C::vec_f32},
                                         {"bounds", C::vec_f32},   {"matrix", C::matrix_f32},
                                         {"ids", C::texts},        {"timestamps", C::vec_f64, params::kNone}};
constexpr params::Function kMakeFunction{
    "int8_searcher", kMakeParams,
    "An Int8Searcher holding the int8 copy, the matrix, the timestamps and the ids (their texts\n"
    "and a table of rows by text, built once)."};
PyObject* g_make_names[6];
PyObject* int8_searcher(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kMakeSearcher{kMakeFunction, int8_searcher, g_make_names};

PyObject* int8_searcher(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<6>(kMakeSearcher, args, nargsf, kwnames, [&](PyObject* const* a) -> PyObject* {
        py::CallContext ctx;
        for (int i : {0, 1, 2, 3, 5}) {
            if (i == 5 && (a[5] == nullptr || a[5] == Py_None)) continue;
            (void)py::convert_arg(kMakeParams[i].name, [&]() -> py::ArrayArg& {
                return py::to_array(a[i], kMakeParams[i].conv, ctx, kMakeParams[i].name);
            });
        }
        const py::TextList& ids = py::convert_arg("ids", [&]() -> py::TextList& { return py::to_text_list(a[4], ctx); });
        ctx.arguments_converted();
        auto table = std::make_unique<IdTable>(ids);
        auto* obj = reinterpret_cast<SearcherObject*>(py::made(
            reinterpret_cast<PyObject*>(PyObject_New(SearcherObject, g_searcher_type))).release());
        obj->ids = table.release();
        const int order[kHeldCount] = {0, 1, 2, 3, 5};
        for (int h = 0; h < kHeldCount; ++h) {
            PyObject* o = a[order[h]];
            obj->held[h] = o == nullptr || o == Py_None ? nullptr : Py_NewRef(o);
        }
        return reinterpret_cast<PyObject*>(obj);
    });
}

constexpr params::Function kRescoredFunction{
    "last_rescored", {},
    "Rows the calling thread's last search_int8 rescored in float32; -1 when it scanned the\n"
    "float32 matrix instead."};
PyObject* g_rescored_names[1];
PyObject* last_rescored(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kLastRescored{kRescoredFunction, last_rescored, g_rescored_names};
PyObject* last_rescored(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<1>(kLastRescored, args, nargsf, kwnames, [&](PyObject* const*) {
        return py::made(PyLong_FromLongLong(t_rescored)).release();
    });
}

// int8_dots(codes, cols, queries, isa): the int8 kernel named by isa ("portable", "avx2",
// "avx512", "neon", "neon-sdot"; one this CPU lacks falls back to the best) on codes (rows of
// cols codes, viewed as float32) against queries (rows of int8_padded(cols) codes, viewed as
// float32), at most six; int32 bytes, one run of rows per query. For tests of each kernel
// against the portable one.
constexpr params::Param kDotsParams[] = {
    {"codes", C::matrix_f32}, {"cols", C::count}, {"queries", C::matrix_f32}, {"isa", C::text}};
constexpr params::Function kDotsFunction{"int8_dots", kDotsParams,
                                         "Integer dot products of int8 codes on one kernel."};
PyObject* g_dots_names[4];
PyObject* int8_dots(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kInt8Dots{kDotsFunction, int8_dots, g_dots_names};
PyObject* int8_dots(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<4>(kInt8Dots, args, nargsf, kwnames, [&](PyObject* const* a) {
        py::CallContext ctx;
        auto array = [&](int i) -> const py::ArrayArg& {
            return py::convert_arg(kDotsParams[i].name, [&]() -> py::ArrayArg& {
                return py::to_array(a[i], C::matrix_f32, ctx, kDotsParams[i].name);
            });
        };
        const py::ArrayArg& codes = array(0);
        const std::uint64_t cols = py::convert_arg("cols", [&] { return py::to_u64(a[1], ctx); });
        const py::ArrayArg& queries = array(2);
        const std::string_view isa_name = py::convert_arg("isa", [&] { return py::to_text(a[3]); });
        ctx.arguments_converted();
        const MatrixView c = codes.matrix(), qm = queries.matrix();
        const std::ptrdiff_t f = sizeof(float);
        if (c.col_stride != f || qm.col_stride != f || qm.rows > kernels::kInt8MaxVecs ||
            c.cols * sizeof(float) < cols || qm.cols * sizeof(float) != kernels::int8_padded(cols) ||
            static_cast<std::size_t>(qm.row_stride) != kernels::int8_padded(cols) || c.row_stride < 0)
            py::raise(PyExc_ValueError, "codes or queries do not fit cols");
        const auto* named = std::find_if(std::begin(kernels::kInt8Kernels), std::end(kernels::kInt8Kernels),
                                         [&](kernels::Isa i) { return isa_name == kernels::isa_name(i); });
        if (named == std::end(kernels::kInt8Kernels)) py::raise(PyExc_ValueError, "unknown isa");
        const kernels::Isa isa = *named;
        const std::size_t n = c.rows, nq = qm.rows;
        py::Ref out = py::made(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * nq * 4)));
        auto* res = reinterpret_cast<std::int32_t*>(PyBytes_AS_STRING(out.get()));
        const std::int8_t* qv[kernels::kInt8MaxVecs];
        std::int32_t* ov[kernels::kInt8MaxVecs];
        for (std::size_t v = 0; v < nq; ++v) {
            qv[v] = reinterpret_cast<const std::int8_t*>(qm.data) + v * static_cast<std::size_t>(qm.row_stride);
            ov[v] = res + v * n;
        }
        kernels::int8_dot_rows_with(isa, reinterpret_cast<const std::int8_t*>(c.data),
                                    static_cast<std::size_t>(c.row_stride), cols, n, qv, nq, ov);
        return out.release();
    });
}

// int8_isas(): the int8 kernels this CPU runs, best last.
constexpr params::Function kIsasFunction{"int8_isas", {}, "The int8 kernels this CPU runs, best last."};
PyObject* g_isas_names[1];
PyObject* int8_isas(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept;
constinit const py::FunctionDesc kInt8Isas{kIsasFunction, int8_isas, g_isas_names};
PyObject* int8_isas(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<1>(kInt8Isas, args, nargsf, kwnames, [&](PyObject* const*) {
        py::Ref list = py::made(PyList_New(0));
        for (kernels::Isa isa : kernels::kInt8Kernels)
            if (kernels::int8_isa_supported(isa)) {
                py::Ref name = py::made(PyUnicode_FromString(kernels::isa_name(isa)));
                py::check(PyList_Append(list.get(), name.get()));
            }
        return list.release();
    });
}

constexpr const py::FunctionDesc* kFunctions[] = {&kLikeQuery, &kRound4, &kQuantize, &kSearchInt8,
                                                  &kMakeSearcher, &kLastRescored, &kInt8Dots, &kInt8Isas};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "tarnexa._native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* init() {
    py::Ref module = py::check_ptr(PyModule_Create(&g_def));
    static const std::string search_doc = py::docstring(kSearchMethodFunction);
    static PyMethodDef methods[] = {
        {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&searcher_search)),
         METH_FASTCALL | METH_KEYWORDS, search_doc.c_str()},
        {"rows", &searcher_rows, METH_O, "The held row of each id, -1 for an id not held."},
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
    for (const py::FunctionDesc* e : kFunctions)
        py::check(PyModule_AddObjectRef(module.get(), e->name(), py::function_object(module.get(), *e).get()));
    return module.release();
}

}  // namespace
}  // namespace tarnexa::native

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return tarnexa::py::guarded([] { return tarnexa::native::init(); });
}
