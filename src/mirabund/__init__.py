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
read_table
    A long table of scores from CSV, TSV, JSON lines or Parquet files,
    inspect-ai logs or lm-evaluation-harness samples, as a ``ScoreTable``.
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

The command line ``mirabund report FILE ...`` (or ``python -m mirabund``)
prints the comparison of two models in the files or logs given and draws
its intervals.

The package's names are imported when first used, so that the command line
starts (and answers Ctrl-C) before numpy is loaded.
"""

from __future__ import annotations

import importlib

# typing.TYPE_CHECKING without importing typing, which would delay the
# command line's start; type checkers take any TYPE_CHECKING as true.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._checks import NanPolicy
    from ._compare import Comparison, Magnitude, MeanInterval, compare, mean_interval
    from ._frame import to_frame
    from ._inference import InferenceWarning, Method, Reference
    from ._leaderboard import Leaderboard, ModelPair, RankedModel, compare_models
    from ._metrics import Correction, MetricComparisons, Outcome, TableError, compare_metrics
    from ._planning import PilotEstimate, estimate_sd_icc, minimum_detectable_effect, required_items
    from ._samples import Labels, Scores
    from ._sequential import MonitorBatch, MonitorUpdate, PairedMonitor, SequentialMonitor
    from ._tables import Direction, ScoreTable, read_table

    __version__: str

# Each public name and the module that defines it.
_HOMES = {
    "NanPolicy": "_checks",
    "Comparison": "_compare", "Magnitude": "_compare", "MeanInterval": "_compare",
    "compare": "_aligned", "mean_interval": "_aligned",
    "to_frame": "_frame",
    "InferenceWarning": "_inference", "Method": "_inference", "Reference": "_inference",
    "Leaderboard": "_leaderboard", "ModelPair": "_leaderboard", "RankedModel": "_leaderboard",
    "compare_models": "_leaderboard",
    "Correction": "_metrics", "MetricComparisons": "_metrics", "Outcome": "_metrics", "TableError": "_metrics",
    "compare_metrics": "_metrics",
    "PilotEstimate": "_planning", "estimate_sd_icc": "_planning", "minimum_detectable_effect": "_planning",
    "required_items": "_planning",
    "Labels": "_samples", "Scores": "_samples",
    "MonitorBatch": "_sequential", "MonitorUpdate": "_sequential", "PairedMonitor": "_sequential",
    "SequentialMonitor": "_sequential",
    "Direction": "_tables", "ScoreTable": "_tables", "read_table": "_tables",
}


def __getattr__(name: str) -> object:
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            value: object = version("mirabund")
        except PackageNotFoundError:  # imported from a source tree that was never installed
            value = "0+unknown"
    elif name in _HOMES:
        value = getattr(importlib.import_module(f"{__name__}.{_HOMES[name]}"), name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})


__all__ = [
    "Comparison",
    "Correction",
    "Direction",
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
    "Outcome",
    "PairedMonitor",
    "PilotEstimate",
    "RankedModel",
    "Reference",
    "ScoreTable",
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
    "read_table",
    "required_items",
    "to_frame",
]
