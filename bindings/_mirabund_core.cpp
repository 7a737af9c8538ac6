// The _mirabund_core module: its members, method file after method file, in
// the order the module registers them.
#include "bindings/module.hpp"

namespace mirabund_py {

std::span<const Member> bootstrap_members();
std::span<const Member> sequential_members();
std::span<const Member> correction_members();
std::span<const Member> effect_size_members();
std::span<const Member> judge_calibration_members();

namespace {

constexpr MemberList member_lists[] = {
    bootstrap_members, sequential_members, correction_members, effect_size_members, judge_calibration_members,
};

}  // namespace

const ModuleDeclaration this_module{
    .name = "_mirabund_core",
    .doc = "",
    .members = member_lists,
    .panic_name = "mirabund_native.PanicException",
    .panic_doc = "Raised when the native code of _mirabund_core, called from Python, fails\n"
                 "unrecoverably (a broken internal invariant). Like SystemExit it derives from\n"
                 "BaseException, so that it typically propagates all the way up the stack and\n"
                 "makes the interpreter exit.",
};

}  // namespace mirabund_py

PyMODINIT_FUNC PyInit__mirabund_core() { return mirabund_py::initialise_module(); }
