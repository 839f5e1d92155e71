#include "boundary/arguments.hpp"

namespace tarnexa::py {

Arguments::Arguments(std::span<const params::Param> params, PyObject* const* slots, CallContext& ctx) {
    using C = params::Conv;
    using Is = params::Default::Is;
    if (params.size() > kMax) fault("too many parameters for one argument list");
    for (std::size_t p = 0; p < params.size(); ++p) {
        const params::Param& param = params[p];
        PyObject* o = slots[p];
        Value& v = values_[p];
        if (o == nullptr || (o == Py_None && param.dflt.is == Is::none)) {
            v.count = param.count_default();
            v.real = param.real_default();
            v.flag = param.flag_default();
            continue;
        }
        v.given = true;
        convert_arg(param.name, [&] {
            switch (param.conv) {
                case C::matrix_f32:
                case C::vec_f32:
                case C::vec_f64:
                case C::vec_bool:
                case C::codes_i8: v.array = &to_array(o, param.conv, ctx, param.name); break;
                case C::texts: v.texts = &to_text_list(o, ctx); break;
                case C::boolean: v.flag = to_bool(o, ctx); break;
                case C::count: v.count = to_u64(o, ctx); break;
                case C::real32: v.real = to_f32(o, ctx); break;
                case C::real: v.real = to_f64(o, ctx); break;
                case C::line:
                    if (o == Py_None) break;
                    [[fallthrough]];
                case C::text: v.text = to_text(o); break;
                case C::indices:
                case C::keywords:
                case C::id_map: fault("no argument list converts this kind");
            }
        });
    }
}

}  // namespace tarnexa::py
