// The texts that callers see and match on: exception messages, the type names inside them, the
// internal-fault class and the registry capsule's name. They are part of the module's interface
// and stay verbatim, spelling included ("Interal" is how other participants spell it too); change
// none of them to read better.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tarnexa::text {

// The parts joined in order (appended one by one, which also keeps GCC 12's -Wrestrict quiet
// about `"literal" + std::string`).
inline std::string join(std::initializer_list<std::string_view> parts) {
    std::string s;
    for (std::string_view p : parts) s.append(p);
    return s;
}

// ---- the internal-fault exception ----
inline constexpr const char* kPanicDottedName = "brenmor_runtime.PanicException";
inline constexpr const char* kPanicModule = "brenmor_runtime";
inline constexpr const char* kPanicName = "PanicException";
inline constexpr const char* kPanicDoc =
    "\nThe exception raised when native code called from Python faults.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
inline constexpr const char* kUnprintablePanic = "<unprintable PanicException object>";
inline constexpr const char* kApiCallFailed = "Python API call failed";
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";
inline constexpr const char* kUnexpectedCxxException = "unexpected C++ exception: ";

// ---- binding ("{func}() ...") ----
inline std::string too_many_positional(std::string_view func, std::size_t required, std::size_t params,
                                       std::size_t given) {
    const std::string range = required == params
                                  ? std::to_string(params)
                                  : join({"from ", std::to_string(required), " to ", std::to_string(params)});
    return join({func, "() takes ", range, " positional arguments but ", std::to_string(given),
                 given == 1 ? " was" : " were", " given"});
}
// PyUnicode_FromFormat patterns: the function name, then the keyword as the caller spelled it.
inline constexpr const char* kUnexpectedKeyword = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char* kMultipleValues = "%s() got multiple values for argument '%U'";
// The names listed as 'a', 'a' and 'b', or 'a', 'b', and 'c'.
inline std::string missing_required(std::string_view func, const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += names.size() == 2 ? " and " : i + 1 == names.size() ? ", and " : ", ";
        list.append("'").append(names[i]).append("'");
    }
    return join({func, "() missing ", std::to_string(names.size()), " required positional argument",
                 names.size() == 1 ? "" : "s", ": ", list});
}

// ---- conversion ----
inline std::string argument_prefix(std::string_view name) { return join({"argument '", name, "': "}); }
inline std::string cannot_convert(std::string_view type, std::string_view target) {
    return join({"'", type, "' object cannot be converted to '", target, "'"});
}
inline constexpr const char* kPyArray = "PyArray<T, D>";
inline constexpr const char* kSequence = "Sequence";
inline constexpr const char* kPyString = "PyString";
inline constexpr const char* kPyDict = "PyDict";
inline constexpr const char* kPyBool = "PyBool";
inline constexpr const char* kPyCapsule = "PyCapsule";
inline constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";
inline constexpr const char* kNoTypeName = "<failed to extract type name>";
inline constexpr const char* kUnprintableType = "<unprintable type>";
inline std::string no_bool_conversion(std::string_view type) {
    return join({"object of type '", type, "' does not define a '__bool__' conversion"});
}
inline std::string unprintable(std::string_view type) { return join({"<unprintable ", type, " object>"}); }
inline constexpr const char* kUnprintableObject = "<unprintable object>";
inline constexpr const char* kDictChangedSize = "dictionary changed size during iteration";
inline constexpr const char* kDictKeysChanged = "dictionary keys changed during iteration";
inline std::string array_changed(std::string_view name) {
    return argument_prefix(name) + "the array was resized or reallocated while the arguments were converted";
}

// ---- NumPy and the borrow registry ----
inline constexpr const char* kNumpyApiError = "Failed to access NumPy array API capsule";
inline std::string numpy_major_out_of_range(long major) {
    return join({"NumPy major version ", std::to_string(major), " out of range"});
}
inline constexpr const char* kRegistryCapsule = "_VELDT_NUMPY_BORROW_CHECKING_API";
inline constexpr const char* kRegistryError = "Interal borrow checking API error";
inline constexpr const char* kAlreadyBorrowed = "array is exclusively borrowed elsewhere: AlreadyBorrowed";
inline std::string unexpected_return_code(int rc) {
    return join({"Unexpected return code ", std::to_string(rc), " from borrow checking API"});
}
inline std::string unsupported_registry_version(unsigned long long v) {
    return join({"unsupported borrow checking API version ", std::to_string(v)});
}

// ---- module and functions ----
inline constexpr const char* kSubInterpreters =
    "_tarnexa does not support sub-interpreters: it can only be imported once per process, "
    "in the interpreter that imported it first";
inline constexpr const char* kAppendToAll = "could not append __name__ to __all__";
inline std::string query_dimension(std::size_t query_len, std::size_t dims) {
    return join({"Query vector dimension ", std::to_string(query_len), " doesn't match cache dimension ",
                 std::to_string(dims)});
}

}  // namespace tarnexa::text
