from collections.abc import Callable, Iterator, Sequence
from typing import ClassVar, Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, final, type_check_only

__all__ = [
    "BootstrapResult",
    "block_bootstrap",
    "block_bootstrap_mean",
    "SequentialDecision",
    "SequentialUpdate",
    "SequentialTest",
    "CorrectionMethod",
    "CorrectionResult",
    "correct_p_values",
    "EffectMagnitude",
    "EffectSizeResult",
    "cohens_d",
    "Preference",
    "PairwiseDebiasResult",
    "debias_pairwise_judgment",
    "LengthBiasResult",
    "length_bias_correction",
]

# Samples are read by iterating, each item through float() or __index__().
# Array types (numpy's among them) are not Sequence subclasses, so they are
# matched structurally.
@type_check_only
class _FloatArray(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...
    def __iter__(self) -> Iterator[SupportsFloat | SupportsIndex]: ...

_Sample: TypeAlias = Sequence[float] | _FloatArray

@final
class BootstrapResult:
    @property
    def point_estimate(self) -> float: ...
    @property
    def ci_lower(self) -> float: ...
    @property
    def ci_upper(self) -> float: ...
    @property
    def confidence_level(self) -> float: ...
    @property
    def n_resamples(self) -> int: ...

def block_bootstrap(
    data: _Sample,
    block_size: int,
    n_resamples: int,
    confidence_level: float,
    statistic: Callable[[list[float]], SupportsFloat],
    seed: int | None = None,
) -> BootstrapResult: ...
def block_bootstrap_mean(
    data: _Sample,
    block_size: int,
    n_resamples: int,
    confidence_level: float,
    seed: int | None = None,
) -> BootstrapResult: ...
@final
class SequentialDecision:
    Continue: ClassVar[SequentialDecision]
    RejectNull: ClassVar[SequentialDecision]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class SequentialUpdate:
    @property
    def n(self) -> int: ...
    @property
    def likelihood_ratio(self) -> float: ...
    @property
    def decision(self) -> SequentialDecision: ...

@final
class SequentialTest:
    def __new__(cls, alpha: float, tau: float) -> Self: ...
    def update(self, x: float) -> SequentialUpdate: ...
    @property
    def n(self) -> int: ...
    @property
    def current_mean(self) -> float: ...
    @property
    def variance_estimate(self) -> float | None: ...

@final
class CorrectionMethod:
    Bonferroni: ClassVar[CorrectionMethod]
    BenjaminiHochberg: ClassVar[CorrectionMethod]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class CorrectionResult:
    @property
    def adjusted_p_values(self) -> list[float]: ...
    @property
    def rejected(self) -> list[bool]: ...
    @property
    def alpha(self) -> float: ...

def correct_p_values(p_values: _Sample, alpha: float, method: CorrectionMethod) -> CorrectionResult: ...
@final
class EffectMagnitude:
    Negligible: ClassVar[EffectMagnitude]
    Small: ClassVar[EffectMagnitude]
    Medium: ClassVar[EffectMagnitude]
    Large: ClassVar[EffectMagnitude]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class EffectSizeResult:
    @property
    def cohens_d(self) -> float: ...
    @property
    def hedges_g(self) -> float: ...
    @property
    def magnitude(self) -> EffectMagnitude: ...
    @property
    def n_baseline(self) -> int: ...
    @property
    def n_treatment(self) -> int: ...

def cohens_d(baseline: _Sample, treatment: _Sample) -> EffectSizeResult: ...
@final
class Preference:
    PrefersA: ClassVar[Preference]
    PrefersB: ClassVar[Preference]
    Tie: ClassVar[Preference]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class PairwiseDebiasResult:
    @property
    def preference(self) -> Preference: ...
    @property
    def position_bias_detected(self) -> bool: ...

def debias_pairwise_judgment(original_order: Preference, swapped_order: Preference) -> PairwiseDebiasResult: ...
@final
class LengthBiasResult:
    @property
    def slope(self) -> float: ...
    @property
    def intercept(self) -> float: ...
    @property
    def correlation(self) -> float: ...
    @property
    def adjusted_scores(self) -> list[float]: ...

def length_bias_correction(scores: _Sample, lengths: _Sample) -> LengthBiasResult: ...
