"""mirabund: statistics for evaluating the outputs of language models.

Is the candidate model better than the baseline on the same items, by how
much, with what interval and what p-value, across many metrics, when items
come in clusters? The package answers with paired and clustered comparisons
over the native engine ``_mirabund_core``; results are reproducible to the
last bit from the seed they record.

Routines
--------
mean_interval
    The mean of one model's scores with its standard error and interval.
Method, Reference, InferenceWarning
    How intervals and p-values are computed (``method=``), the distribution
    they are read from, and the warning where inference is fragile.
compare
    The paired comparison of two models on the same items.
compare_metrics
    ``compare`` for every metric of a long table, with adjusted p-values.
compare_models
    A leaderboard of several models on one metric: pairwise comparisons,
    simultaneous rank intervals and tiers of indistinguishable models.
to_frame
    Results as a tidy pandas DataFrame.
SequentialMonitor, PairedMonitor
    An anytime-valid test of a stream's mean (of two models' paired
    differences): check after every item and stop at the first rejection
    without inflating the error rate.
required_items, minimum_detectable_effect, estimate_sd_icc
    Planning the size of a fixed-size eval, from a pilot run.

Types of the arguments
----------------------
Scores
    One score per item: a list, numpy array, pandas Series or any iterable
    of numbers, None (or NaN, ``pd.NA``) for a missing one.
Labels
    One hashable cluster label per item.
NanPolicy
    ``"raise"`` or ``"omit"``: refuse missing values, or drop their items.

The command line ``mirabund report FILE.csv ...`` (or ``python -m mirabund``)
prints the comparison of two models in a CSV file and draws its intervals.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from ._checks import NanPolicy
from ._compare import Comparison, Magnitude, MeanInterval, compare, mean_interval
from ._frame import to_frame
from ._inference import InferenceWarning, Method, Reference
from ._leaderboard import Leaderboard, ModelPair, RankedModel, compare_models
from ._metrics import Correction, MetricComparisons, TableError, compare_metrics
from ._planning import PilotEstimate, estimate_sd_icc, minimum_detectable_effect, required_items
from ._samples import Labels, Scores
from ._sequential import MonitorBatch, MonitorUpdate, PairedMonitor, SequentialMonitor

try:
    __version__ = version("mirabund")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "Comparison",
    "Correction",
    "InferenceWarning",
    "Labels",
    "Leaderboard",
    "Magnitude",
    "MeanInterval",
    "Method",
    "MetricComparisons",
    "ModelPair",
    "MonitorBatch",
    "MonitorUpdate",
    "NanPolicy",
    "PairedMonitor",
    "PilotEstimate",
    "RankedModel",
    "Reference",
    "Scores",
    "SequentialMonitor",
    "TableError",
    "__version__",
    "compare",
    "compare_metrics",
    "compare_models",
    "estimate_sd_icc",
    "mean_interval",
    "minimum_detectable_effect",
    "required_items",
    "to_frame",
]
