from collections.abc import Iterator, Sequence
from typing import ClassVar, Literal, Protocol, Self, SupportsIndex, TypeAlias, final, type_check_only

from _mirabund_core import _Sample

__all__ = [
    "ClusterBootstrapResult",
    "cluster_bootstrap_mean",
    "MeanStandardError",
    "mean_standard_error",
    "SignFlipResult",
    "sign_flip_test",
    "StudentizedBootstrapResult",
    "studentized_bootstrap_mean",
    "BettingMonitor",
    "restore_betting_monitor",
    "SharedBootstrapResult",
    "shared_bootstrap_means",
    "shared_cluster_bootstrap_means",
    "effect_size_bounds",
    "CorrectionMethod",
    "CorrectionResult",
    "correct_p_values",
]

# Values are read as the engine module reads samples; cluster codes by
# iterating, each item through __index__(), integer arrays directly.
@type_check_only
class _IndexArray(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...
    def __iter__(self) -> Iterator[SupportsIndex]: ...

_Codes: TypeAlias = Sequence[SupportsIndex] | _IndexArray

@final
class ClusterBootstrapResult:
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
    @property
    def n_items(self) -> int: ...
    @property
    def n_clusters(self) -> int: ...

def cluster_bootstrap_mean(
    values: _Sample,
    clusters: _Codes,
    n_resamples: int,
    confidence_level: float,
    seed: int,
) -> ClusterBootstrapResult: ...

@final
class MeanStandardError:
    @property
    def mean(self) -> float: ...
    @property
    def standard_deviation(self) -> float: ...
    @property
    def standard_error(self) -> float: ...
    @property
    def cr2_standard_error(self) -> float: ...
    @property
    def degrees_of_freedom(self) -> float: ...
    @property
    def n_items(self) -> int: ...
    @property
    def n_clusters(self) -> int: ...

def mean_standard_error(values: _Sample, clusters: _Codes | None = None) -> MeanStandardError: ...

@final
class SignFlipResult:
    @property
    def p_value(self) -> float: ...
    @property
    def ci_lower(self) -> float: ...
    @property
    def ci_upper(self) -> float: ...
    @property
    def confidence_level(self) -> float: ...
    @property
    def n_flips(self) -> int: ...
    @property
    def enumerated(self) -> bool: ...
    @property
    def binomial(self) -> bool: ...

def sign_flip_test(
    totals: _Sample,
    sizes: _Sample,
    n_resamples: int,
    confidence_level: float,
    seed: int,
) -> SignFlipResult: ...

@final
class StudentizedBootstrapResult:
    @property
    def mean(self) -> float: ...
    @property
    def standard_error(self) -> float: ...
    @property
    def ci_lower(self) -> float: ...
    @property
    def ci_upper(self) -> float: ...
    @property
    def confidence_level(self) -> float: ...
    @property
    def n_resamples(self) -> int: ...
    @property
    def count_at_least(self) -> int: ...
    @property
    def count_at_most(self) -> int: ...
    @property
    def p_value(self) -> float: ...

def studentized_bootstrap_mean(
    values: _Sample,
    n_resamples: int,
    confidence_level: float,
    seed: int,
) -> StudentizedBootstrapResult: ...

@final
class BettingMonitor:
    def __new__(cls, alpha: float, low: float, high: float, null_mean: float) -> Self: ...
    def feed(self, scores: _Sample) -> int: ...
    @property
    def n(self) -> int: ...
    @property
    def mean(self) -> float: ...
    @property
    def log_capital(self) -> float: ...
    @property
    def max_log_capital(self) -> float: ...
    @property
    def rejected_at(self) -> int: ...
    @property
    def ci_lower(self) -> float: ...
    @property
    def ci_upper(self) -> float: ...
    @property
    def counts(self) -> list[int]: ...
    @property
    def sums(self) -> list[float]: ...
    @property
    def live_log_capitals(self) -> list[float]: ...

def restore_betting_monitor(
    alpha: float,
    low: float,
    high: float,
    null_mean: float,
    counts: _Codes,
    sums: _Sample,
    live_log_capitals: _Sample,
) -> BettingMonitor: ...

@final
class SharedBootstrapResult:
    @property
    def mean(self) -> float: ...
    @property
    def ci_lower(self) -> float: ...
    @property
    def ci_upper(self) -> float: ...
    @property
    def p_value(self) -> float: ...

def shared_bootstrap_means(
    columns: Sequence[_Sample],
    method: Literal["percentile", "studentized"],
    block_size: int,
    n_resamples: int,
    confidence_level: float,
    seed: int,
    threads: int,
    clusters: _Codes | None = None,
) -> list[SharedBootstrapResult]: ...
def shared_cluster_bootstrap_means(
    totals: Sequence[_Sample],
    cluster_sizes: _Codes,
    n_resamples: int,
    confidence_level: float,
    seed: int,
    threads: int,
) -> list[SharedBootstrapResult]: ...

def effect_size_bounds() -> tuple[float, float, float]: ...

# The engine module's correction, registered here from the same method file.
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
