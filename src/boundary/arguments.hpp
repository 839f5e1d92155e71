// A function's arguments converted by walking its parameter table: each bound parameter by its
// conversion kind, in table order, the first failure ending the call (named by the parameter).
// An absent optional parameter stays unset; a missing one with a default reads as the default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "boundary/convert.hpp"

namespace tarnexa::py {

class Arguments {
public:
    static constexpr std::size_t kMax = 8;

    Arguments(std::span<const params::Param> params, PyObject* const* slots, CallContext& ctx);

    bool given(std::size_t p) const noexcept { return values_[p].given; }
    const ArrayArg& array(std::size_t p) const noexcept { return *values_[p].array; }
    const ArrayArg* optional_array(std::size_t p) const noexcept { return values_[p].array; }
    const TextList& texts(std::size_t p) const noexcept { return *values_[p].texts; }
    std::uint64_t count(std::size_t p) const noexcept { return values_[p].count; }
    double real(std::size_t p) const noexcept { return values_[p].real; }
    bool flag(std::size_t p) const noexcept { return values_[p].flag; }
    std::string_view text(std::size_t p) const noexcept { return values_[p].text; }

private:
    struct Value {
        bool given = false;
        const ArrayArg* array = nullptr;
        const TextList* texts = nullptr;
        std::uint64_t count = 0;
        double real = 0.0;
        bool flag = false;
        std::string_view text;
    };
    Value values_[kMax];
};

}  // namespace tarnexa::py
