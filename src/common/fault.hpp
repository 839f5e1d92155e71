// Internal faults: broken invariants and failed checks inside a call. They travel as C++
// exceptions to the call guard of the Python entry, which reports them and turns them
// into the module's internal-fault exception. Nothing here depends on Python.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>

namespace tarnexa {

class Fault : public std::exception {
public:
    Fault(std::string message, std::source_location where) noexcept
        : message_(std::move(message)), where_(where) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Thrown when a Python exception is already set and the call must end with it.
struct PythonErrorSet {};

[[noreturn]] void fault(std::string message,
                        std::source_location where = std::source_location::current());

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void index_fault(std::size_t len, std::size_t index,
                              std::source_location where = std::source_location::current());

// A read past the end of an array argument.
[[noreturn]] void array_index_fault(std::size_t len, std::size_t index,
                                    std::source_location where = std::source_location::current());

inline void check_index(std::size_t index, std::size_t len,
                        std::source_location where = std::source_location::current()) {
    if (index >= len) [[unlikely]] index_fault(len, index, where);
}

}  // namespace tarnexa
