// parse_modifiers(modifier_str=None): the modifier line as a nine-key dict.
#include <array>

#include "boundary/convert.hpp"
#include "boundary/entries.hpp"
#include "boundary/guard.hpp"
#include "modifiers/modifiers.hpp"

namespace tarnexa::entries {
namespace {

constexpr params::Param kParams[] = {{"modifier_str", params::Conv::text, params::kNone}};
constexpr params::Function kFunction{
    "parse_modifiers", kParams,
    "Parse a modifier string into modulation parameters.\n\n"
    "Returns a dict with keys: recent, recent_days, unlike, diverse, limit,\n"
    "like, trajectory_from, trajectory_to, local_communities."};
PyObject* g_names[std::size(kParams)];

enum Key { kRecent, kRecentDays, kUnlike, kDiverse, kLimit, kLike, kFrom, kTo, kCommunities, kKeyCount };
constexpr const char* kKeyNames[kKeyCount] = {"recent", "recent_days", "unlike", "diverse", "limit",
                                              "like", "trajectory_from", "trajectory_to",
                                              "local_communities"};

// Interned key strings, made once for the process.
PyObject* key(Key k) {
    static std::array<PyObject*, kKeyCount> keys{};
    if (keys[k] == nullptr) keys[k] = py::made(PyUnicode_InternFromString(kKeyNames[k])).release();
    return keys[k];
}

py::Ref text(const std::string& s) {
    return py::made(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

py::Ref optional_text(const std::optional<std::string>& s) {
    return s ? text(*s) : py::Ref::borrow(Py_None);
}

void set(PyObject* dict, Key k, py::Ref value) { py::check(PyDict_SetItem(dict, key(k), value.get())); }

}  // namespace

py::Ref modifiers_dict(const modifiers::Modifiers& m) {
    // Every key object exists before the dict, so a failure to make one leaves nothing half-built.
    for (int k = 0; k < kKeyCount; ++k) key(static_cast<Key>(k));
    py::Ref dict = py::made(PyDict_New());
    PyObject* d = dict.get();
    set(d, kRecent, py::Ref::borrow(m.recent ? Py_True : Py_False));
    set(d, kRecentDays, m.recent_days ? py::made(PyLong_FromLongLong(*m.recent_days)) : py::Ref::borrow(Py_None));
    set(d, kUnlike, optional_text(m.unlike));
    set(d, kDiverse, py::Ref::borrow(m.diverse ? Py_True : Py_False));
    set(d, kLimit, m.limit ? py::made(PyLong_FromUnsignedLongLong(*m.limit)) : py::Ref::borrow(Py_None));
    if (m.like) {
        py::Ref list = py::made(PyList_New(static_cast<Py_ssize_t>(m.like->size())));
        for (std::size_t i = 0; i < m.like->size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text((*m.like)[i]).release());
        set(d, kLike, std::move(list));
    } else {
        set(d, kLike, py::Ref::borrow(Py_None));
    }
    set(d, kFrom, optional_text(m.trajectory_from));
    set(d, kTo, optional_text(m.trajectory_to));
    set(d, kCommunities, py::Ref::borrow(m.local_communities ? Py_True : Py_False));
    return dict;
}

constinit const py::FunctionDesc kParseModifiers{kFunction, parse_modifiers, g_names};

PyObject* parse_modifiers(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return py::called<1>(kParseModifiers, args, nargsf, kwnames, [&](PyObject* const* slots) {
        std::string_view line;
        if (slots[0] != nullptr && slots[0] != Py_None)
            line = py::convert_arg(kParams[0].name, [&] { return py::to_text(slots[0]); });
        return modifiers_dict(modifiers::parse_modifiers(line)).release();
    });
}

}  // namespace tarnexa::entries
