// Adjustment of a family of p-values for multiple comparisons: Bonferroni
// (family-wise error rate) or the Benjamini-Hochberg step-up procedure
// (false discovery rate), with the rejections at a significance level.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/interrupt.hpp"
#include "core/outcome.hpp"

namespace mirabund_core::correction {

enum class CorrectionMethod : std::uint8_t { Bonferroni, BenjaminiHochberg };

struct CorrectionOutcome {
    std::vector<double> adjusted_p_values;
    std::vector<bool> rejected;
    double alpha;
    CorrectionMethod method;
};

enum class CorrectionError { EmptyPValues, InvalidAlpha, PValueOutOfRange };

std::string_view display_text(CorrectionError error);

// Both vectors of the outcome follow the input order. `interrupt` is offered
// the ranking work of Benjamini-Hochberg as it is done.
Result<CorrectionOutcome, CorrectionError> correct_p_values(std::span<const double> p_values,
                                                            double alpha,
                                                            CorrectionMethod method,
                                                            InterruptCheck interrupt = {});

}  // namespace mirabund_core::correction
