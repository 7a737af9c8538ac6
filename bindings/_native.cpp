// The mirabund._native module: the routines of the mirabund package that the
// engine module cannot express, one file each in native/, in the order the
// module registers them. They run with the interpreter lock released.
#include "bindings/module.hpp"

namespace mirabund_py {

std::span<const Member> cluster_bootstrap_mean_members();
std::span<const Member> mean_standard_error_members();
std::span<const Member> sign_flip_test_members();
std::span<const Member> studentized_bootstrap_mean_members();
std::span<const Member> betting_monitor_members();
std::span<const Member> shared_bootstrap_means_members();

namespace {

constexpr MemberList member_lists[] = {cluster_bootstrap_mean_members, mean_standard_error_members,
                                       sign_flip_test_members, studentized_bootstrap_mean_members,
                                       betting_monitor_members, shared_bootstrap_means_members};

}  // namespace

const ModuleDeclaration this_module{
    .name = "mirabund._native",
    .doc = "Native routines of the mirabund package: the bootstrap of the mean by whole\n"
           "clusters, the standard errors of a mean, the bootstrap-t of a mean, the\n"
           "sign-flip test, the betting monitor of bounded means and the bootstrap of\n"
           "several means from shared resamples. Called by mirabund, not by users.",
    .members = member_lists,
    .panic_name = "mirabund._native.PanicException",
    .panic_doc = "Raised when the native code of mirabund._native fails unrecoverably (a broken\n"
                 "internal invariant). It derives from BaseException, so that it is not caught\n"
                 "by handlers of ordinary errors.",
};

}  // namespace mirabund_py

PyMODINIT_FUNC PyInit__native() { return mirabund_py::initialise_module(); }
