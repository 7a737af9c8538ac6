from collections.abc import Iterator, Sequence
from typing import Protocol, SupportsIndex, TypeAlias, final, type_check_only

from _mirabund_core import _Sample

__all__ = [
    "ClusterBootstrapResult",
    "cluster_bootstrap_mean",
    "MeanStandardError",
    "mean_standard_error",
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
    def n_items(self) -> int: ...
    @property
    def n_clusters(self) -> int: ...

def mean_standard_error(values: _Sample, clusters: _Codes | None = None) -> MeanStandardError: ...
