// The mirabund._native module: every routine the mirabund package calls, one
// file each in native/ (those the engine module cannot express, run with the
// interpreter lock released) plus the engine module's own method files that
// the package uses, in the order the module registers them.
#include "bindings/module.hpp"

namespace mirabund_py {

std::span<const Member> cluster_bootstrap_mean_members();
std::span<const Member> mean_standard_error_members();
std::span<const Member> sign_flip_test_members();
std::span<const Member> studentized_bootstrap_mean_members();
std::span<const Member> betting_monitor_members();
std::span<const Member> shared_bootstrap_means_members();
std::span<const Member> effect_size_bounds_members();
std::span<const Member> correction_members();

namespace {

constexpr MemberList member_lists[] = {cluster_bootstrap_mean_members, mean_standard_error_members,
                                       sign_flip_test_members, studentized_bootstrap_mean_members,
                                       betting_monitor_members, shared_bootstrap_means_members,
                                       effect_size_bounds_members, correction_members};

}  // namespace

const ModuleDeclaration this_module{
    .name = "mirabund._native",
    .doc = "Native routines of the mirabund package: the bootstrap of the mean by whole\n"
           "clusters, the standard errors of a mean, the bootstrap-t of a mean, the\n"
           "sign-flip test, the betting monitor of bounded means, the bootstrap of\n"
           "several means from shared resamples, the effect-size bounds and the\n"
           "correction of p-values. Called by mirabund, not by users.",
    .members = member_lists,
    .panic_name = "mirabund._native.PanicException",
    .panic_doc = "Raised when the native code of mirabund._native fails unrecoverably (a broken\n"
                 "internal invariant). It derives from BaseException, so that it is not caught\n"
                 "by handlers of ordinary errors.",
};

}  // namespace mirabund_py

PyMODINIT_FUNC PyInit__native() { return mirabund_py::initialise_module(); }
