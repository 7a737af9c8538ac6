"""mirabund: statistics for evaluating the outputs of language models.

Is the candidate model better than the baseline on the same items, by how
much, with what interval and what p-value, across many metrics, when items
come in clusters? The package answers with paired and clustered
comparisons over the native engine ``_mirabund_core``: results are
reproducible to the last bit from a recorded seed.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from .planning import PilotEstimate, estimate_sd_icc, minimum_detectable_effect, required_items
from .sequential import MonitorBatch, MonitorUpdate, SequentialMonitor

try:
    __version__ = version("mirabund")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "MonitorBatch",
    "MonitorUpdate",
    "PilotEstimate",
    "SequentialMonitor",
    "__version__",
    "estimate_sd_icc",
    "minimum_detectable_effect",
    "required_items",
]
