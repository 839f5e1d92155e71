#include "common/fault.hpp"

namespace tarnexa {

[[noreturn, gnu::cold, gnu::noinline]] void fault(std::string message, std::source_location where) {
    throw Fault(std::move(message), where);
}

[[noreturn, gnu::cold, gnu::noinline]] void index_fault(std::size_t len, std::size_t index,
                                                        std::source_location where) {
    fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index),
          where);
}

[[noreturn, gnu::cold, gnu::noinline]] void array_index_fault(std::size_t len, std::size_t index,
                                                              std::source_location where) {
    fault("array index out of bounds: index " + std::to_string(index) +
              " is beyond an array of length " + std::to_string(len),
          where);
}

}  // namespace tarnexa
