// effect_size_bounds: the engine's magnitude bounds, so that the package
// buckets its own effect sizes by the same numbers.
#include "core/effect_size.hpp"
#include "bindings/module.hpp"

namespace mirabund_py {

namespace {

Ref effect_size_bounds() {
    const auto& bounds = mirabund_core::effect_size::magnitude_bounds;
    return checked(Py_BuildValue("(ddd)", bounds[0], bounds[1], bounds[2]));
}

constexpr Function<> function{
    "effect_size_bounds",
    {},
    effect_size_bounds,
    "The least |d| of a small, a medium and a large effect, each bound\n"
    "belonging to the larger magnitude.",
};

constexpr Member members[] = {
    {&function_member<function>},
};

}  // namespace

std::span<const Member> effect_size_bounds_members() { return members; }

}  // namespace mirabund_py
