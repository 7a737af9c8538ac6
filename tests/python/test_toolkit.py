import dataclasses
import inspect
import json
import math
import pickle
import re
import warnings
from decimal import Decimal

import numpy as np
import pytest

import _mirabund_core as mc
import mirabund

pd = pytest.importorskip("pandas")


def clustered(seed=11, n_clusters=23):
    """Scores of two models in clusters of unequal size, the clusters interleaved."""
    rng = np.random.default_rng(seed)
    sizes = rng.integers(1, 9, n_clusters)
    labels = np.repeat([f"topic-{c}" for c in range(n_clusters)], sizes)
    shift = rng.normal(0.0, 0.3, n_clusters)[np.repeat(np.arange(n_clusters), sizes)]
    baseline = rng.normal(0.5, 0.2, len(labels)) + shift
    candidate = baseline + 0.05 + rng.normal(0.0, 0.1, len(labels)) + 0.5 * shift
    order = rng.permutation(len(labels))
    return baseline[order], candidate[order], labels[order]


def statsmodels_cluster_se(values, labels):
    sm = pytest.importorskip("statsmodels.api")
    codes = pd.factorize(pd.Series(labels))[0]
    fit = sm.OLS(values, np.ones(len(values))).fit(cov_type="cluster", cov_kwds={"groups": codes})
    return float(fit.bse[0])


def test_cluster_robust_standard_errors_match_statsmodels():
    baseline, candidate, labels = clustered()
    mean = mirabund.mean_interval(baseline, clusters=labels, n_resamples=10, seed=1, method="percentile")
    paired = mirabund.compare(baseline, candidate, clusters=list(labels), n_resamples=10, seed=1, method="percentile")
    assert mean.standard_error == pytest.approx(statsmodels_cluster_se(baseline, labels), rel=1e-10, abs=0)
    assert paired.standard_error == pytest.approx(
        statsmodels_cluster_se(candidate - baseline, labels), rel=1e-10, abs=0)
    assert (mean.n_clusters, paired.n_clusters) == (23, 23)
    assert paired.p_value == math.erfc(abs(paired.difference / paired.standard_error) / math.sqrt(2.0))
    # Any hashable label names a cluster, a tuple too.
    as_tuples = mirabund.mean_interval(baseline, clusters=[(str(x), 1) for x in labels], n_resamples=10, seed=1,
                                       method="percentile")
    assert as_tuples == mean


@pytest.mark.parametrize("clusters", [None, "labels"])
def test_paired_means_and_effect_size_match_numpy(clusters):
    baseline, candidate, labels = clustered(seed=5)
    r = mirabund.compare(baseline, candidate, clusters=labels if clusters else None, n_resamples=10, seed=1)
    differences = candidate - baseline
    assert r.baseline_mean == pytest.approx(baseline.mean(), rel=1e-12)
    assert r.candidate_mean == pytest.approx(candidate.mean(), rel=1e-12)
    assert r.difference == pytest.approx(differences.mean(), rel=1e-12)
    assert r.d_z == pytest.approx(differences.mean() / differences.std(ddof=1), rel=1e-12)
    assert r.magnitude is mirabund.Magnitude.of(r.d_z)
    if clusters is None:
        assert r.standard_error == pytest.approx(differences.std(ddof=1) / math.sqrt(len(differences)), rel=1e-12)


# Without spread no t or normal p-value exists (it would be 0 for any
# difference): every method falls back on the sign flips, 2 of 16 patterns
# as extreme as four equal differences.
@pytest.mark.parametrize("method", ["auto", "cr2", "percentile"])
@pytest.mark.parametrize("candidate, z, p_value, d_z", [
    ([1.5, 2.5, 3.5, 4.5], math.inf, 0.125, math.inf),
    ([0.5, 1.5, 2.5, 3.5], -math.inf, 0.125, -math.inf),
    ([1.0, 2.0, 3.0, 4.0], 0.0, 1.0, 0.0),
])
def test_differences_without_spread(candidate, z, p_value, d_z, method):
    r = mirabund.compare([1.0, 2.0, 3.0, 4.0], candidate, n_resamples=10, seed=1, method=method)
    # No differences at all are 0/1 pairs all tied, whose McNemar test needs no spread.
    expected = "binary" if method == "auto" and d_z == 0 else "exact"
    assert (r.standard_error, r.z, r.p_value, r.d_z, r.method) == (0.0, z, p_value, d_z, expected)
    assert r.magnitude is (mirabund.Magnitude.NEGLIGIBLE if d_z == 0 else mirabund.Magnitude.LARGE)
    assert any("standard error is 0" in note for note in r.warnings) == (expected == "exact")


@pytest.mark.parametrize("correction, method", [
    ("benjamini-hochberg", mc.CorrectionMethod.BenjaminiHochberg),
    ("Bonferroni", mc.CorrectionMethod.Bonferroni),
    ("Benjamini_Hochberg", mc.CorrectionMethod.BenjaminiHochberg),  # case and "_" for "-" are free
    (mc.CorrectionMethod.Bonferroni, mc.CorrectionMethod.Bonferroni),
])
def test_adjusted_p_values_are_the_engines(correction, method):
    baseline, candidate, labels = clustered(seed=2)
    n = len(labels)
    table = {
        "model": ["a"] * n + ["b"] * n,
        "item": list(range(n)) * 2,
        "topic": list(labels) * 2,
        "m1": [*baseline, *candidate],
        "m2": [*candidate, *baseline],
        "m3": [*baseline, *(baseline + 0.01)],
    }
    family = mirabund.compare_metrics(table, baseline="a", candidate="b", cluster_column="topic",
                                      correction=correction, alpha=0.1, n_resamples=10, seed=3)
    expected = mc.correct_p_values([c.p_value for c in family], 0.1, method)
    assert [c.p_adjusted for c in family] == expected.adjusted_p_values
    assert [c.rejected for c in family] == expected.rejected
    alone = mirabund.compare(baseline, candidate, clusters=labels, n_resamples=10, seed=3)
    assert family["m1"].difference == alone.difference and family["m1"].ci_lower == alone.ci_lower


@pytest.mark.parametrize("names", [lambda frame: frame.columns[2:], lambda frame: np.array(["x", "y"]),
                                   lambda frame: (name for name in ["x", "y"])])
def test_metrics_may_be_any_iterable_of_names(names):
    frame = pd.DataFrame({"model": ["a", "b"] * 3, "item": [1, 1, 2, 2, 3, 3], "x": [1, 2, 3, 4, 5, 7],
                          "y": [0, 1, 1, 1, 0, 0]})
    family = mirabund.compare_metrics(frame, baseline="a", candidate="b", metrics=names(frame), n_resamples=10, seed=1)
    assert [type(metric) for metric in family.metrics] == [str, str] and family.metrics == ("x", "y")
    assert "y" in family and "z" not in family and family[1] is family["y"] is family[-1]


def test_unknown_correction_lists_the_valid_ones():
    with pytest.raises(ValueError, match="correction must be one of 'bonferroni', 'benjamini-hochberg', 'holm', got 'sidak'"):
        mirabund.compare_metrics({"model": [], "item": []}, baseline="a", candidate="b", correction="sidak")


def test_nan_policy_raise_says_how_many_and_where():
    baseline = pd.Series([0.1, 0.4, pd.NA, 0.3, pd.NA], dtype="Float64")
    with pytest.raises(ValueError, match=r"^baseline has 2 missing values \(NaN, None or NA\), the first at position 2"):
        mirabund.compare(baseline, [0.2, 0.5, 0.1, 0.3, 0.6], seed=1)


def test_nan_policy_omit_drops_pairs_together():
    baseline = [0.1, None, 0.4, 0.2, 0.3, 0.9, 0.5]
    candidate = pd.Series([0.3, 0.5, 0.4, pd.NA, 0.6, 0.7, 0.8], dtype="Float64")
    clusters = ["a", "a", "b", "b", None, "c", "c"]
    r = mirabund.compare(baseline, candidate, clusters=clusters, nan_policy="omit", n_resamples=50, seed=4)
    kept = [0, 2, 5, 6]
    same = mirabund.compare([baseline[i] for i in kept], [float(candidate[i]) for i in kept],
                            clusters=["a", "b", "c", "c"], n_resamples=50, seed=4)
    assert (r.n_items, r.n_dropped, r.n_clusters) == (4, 3, 3)
    assert r == dataclasses.replace(same, n_dropped=3)


def test_a_table_item_whose_cluster_one_model_lacks_is_dropped_under_omit():
    baseline, candidate, labels = clustered(seed=4)
    n = len(labels)
    topics = [*labels, *labels]
    topics[n + 3] = None  # the candidate's row of item 3
    table = {"model": ["a"] * n + ["b"] * n, "item": list(range(n)) * 2, "topic": topics,
             "score": [*baseline, *candidate]}
    family = mirabund.compare_metrics(table, baseline="a", candidate="b", cluster_column="topic", nan_policy="omit",
                                      n_resamples=50, seed=2)
    kept = np.arange(n) != 3
    alone = mirabund.compare(baseline[kept], candidate[kept], clusters=labels[kept], n_resamples=50, seed=2)
    assert family["score"].n_dropped == 1
    assert dataclasses.replace(family["score"], metric=None, p_adjusted=None, rejected=None, n_dropped=0) == alone


@pytest.mark.parametrize("nan_policy, outcome", [
    ("raise", "table column 'item', row 2: item 'q4' has a row for model 'a' but none for model 'b'"),
    ("omit", None),
])
def test_items_of_one_model_only(nan_policy, outcome):
    table = pd.DataFrame({
        "model": ["a", "a", "a", "b", "b", "b"],
        "item": ["q1", "q2", "q4", "q1", "q2", "q3"],
        "score": [1.0, 2.0, 4.0, 2.0, 2.5, 3.0],
    })
    run = lambda: mirabund.compare_metrics(table, baseline="a", candidate="b", nan_policy=nan_policy,
                                           n_resamples=10, seed=1)
    if outcome:
        with pytest.raises(mirabund.TableError, match=f"^{outcome}"):
            run()
    else:
        result = run()["score"]
        assert (result.n_items, result.n_dropped, result.difference) == (2, 2, 0.75)


@pytest.mark.parametrize("call", [
    lambda scores, labels: mirabund.mean_interval(scores, clusters=labels, n_resamples=50, seed=1),
    lambda scores, labels: mirabund.compare(scores, (x + 1 for x in [0.5, 0.1, 0.9, 0.4, 0.8, 0.3]),
                                            clusters=labels, n_resamples=50, seed=1),
    lambda scores, labels: mirabund.estimate_sd_icc(scores, labels),
    lambda scores, labels: mirabund.compare_metrics({"model": ["m", "n"] * 3, "item": labels, "x": scores},
                                                    baseline="m", candidate="n", n_resamples=50, seed=1),
    lambda scores, labels: mirabund.SequentialMonitor(bounds=(0, 1), null_mean=0.5).update_many(scores),
])
def test_any_iterable_is_read_once_like_a_list(call):
    scores, labels = [0.5, 0.2, 0.9, 0.3, 0.7, 0.3], ["a", "a", "b", "b", "c", "c"]
    assert call(iter(scores), (label for label in labels)) == call(scores, labels)


@pytest.mark.parametrize("call, error, message", [
    (lambda: mirabund.mean_interval([1.0, 2.0], n_resamples=0), ValueError,
     "n_resamples must be an integer >= 1 and <= 18446744073709551615, got 0"),
    (lambda: mirabund.mean_interval([1.0, 2.0], n_resamples=10.0), TypeError, "n_resamples must be"),
    (lambda: mirabund.mean_interval([1.0, 2.0], confidence_level=1), ValueError, "confidence_level must be in (0, 1)"),
    (lambda: mirabund.mean_interval([1.0, 2.0], seed=-1), ValueError, "seed must be None or an integer in [0, 2**64)"),
    (lambda: mirabund.mean_interval([1.0, 2.0], nan_policy="drop"), ValueError, "nan_policy must be one of"),
    (lambda: mirabund.compare([1.0, 2.0], [2.0, 1.0], threads=0), ValueError,
     "threads must be None or an integer >= 1, got 0"),
    (lambda: mirabund.mean_interval("0.5 0.7"), TypeError, "x must be a one-dimensional sequence"),
    (lambda: mirabund.mean_interval([0.5, "0.7"]), TypeError, "x must hold numbers, got '0.7' at position 1"),
    (lambda: mirabund.mean_interval([0.5, math.inf]), ValueError, "x must hold finite numbers, got inf at position 1"),
    (lambda: mirabund.mean_interval([0.5, 10**400]), ValueError,
     f"x must hold finite numbers, got {str(10**400)[:37]}... at position 1, too large for a float"),
    (lambda: mirabund.mean_interval([1.0, 2.0], confidence_level=10**400), ValueError,
     "confidence_level must be a number in (0, 1), got 1000"),
    (lambda: mirabund.mean_interval({1.0, 2.0}), TypeError, "x must be a one-dimensional sequence, got {1.0, 2.0} (set)"),
    (lambda: mirabund.mean_interval(bytearray(b"\x01\x02")), TypeError, "x must be a one-dimensional sequence"),
    (lambda: mirabund.compare_metrics({"model": ["a", "b"], "item": [1, 1], "x": [1, 2]}, baseline="a",
                                      candidate="a"), ValueError, "candidate must name a model other than the baseline"),
    (lambda: mirabund.mean_interval([1.0, 2.0, 3.0], clusters=[np.float32("nan"), "a", "b"]), ValueError,
     "clusters has 1 missing value"),
    (lambda: mirabund.compare([1.0, 2.0], [1.0]), ValueError, "baseline and candidate must hold one score per item"),
    (lambda: mirabund.compare([1.0, 2.0], [1.0, 3.0], clusters=["a"]), ValueError, "clusters must hold one label"),
    (lambda: mirabund.compare([1.0, 2.0], [1.0, 3.0], clusters=[[1], [2]]), TypeError, "clusters must"),
    (lambda: mirabund.compare([1.0, 2.0], [1.0, 3.0], clusters=["a", "a"]), ValueError, "at least 2 clusters"),
    (lambda: mirabund.compare([1.0, 2.0], [1.0, 3.0], clusters=["a", "b"], block_size=2), ValueError,
     "block_size must be 1 when clusters are given"),
    # Finite scores whose differences, or sums of squares, overflow.
    (lambda: mirabund.compare([-1e308, 0, 1, 2], [1e308, 0, 2, 3]), ValueError,
     "baseline and candidate: the scores are too large: a difference candidate - baseline overflows a float"),
    (lambda: mirabund.compare([1.7e308, 1.7e308, 0, 0], [1.7e308, 1.6e308, 0, 1]), ValueError,
     "baseline and candidate: the differences are too large: the sum of their squared deviations overflows"),
    # Metric columns are chosen by kind; an infinity is refused where it is, not a reason to pass a column over.
    (lambda: mirabund.compare_metrics({"model": ["a", "b"] * 2, "item": [1, 1, 2, 2], "x": [1, 2, 3, 4],
                                       "y": [0, 1, math.inf, 1], "note": ["n"] * 4}, baseline="a", candidate="b"),
     ValueError, "column 'y' must hold finite numbers, got inf at position 2"),
    (lambda: mirabund.compare_metrics(pd.DataFrame([["a", 1, 0.5, 0.5]], columns=["model", "item", "x", "x"]),
                                      baseline="a", candidate="b"), mirabund.TableError,
     "table column 'x': two columns have this name"),
    (lambda: mirabund.compare_metrics({"model": ["a", "b"] * 2, "item": [1, 1, 2, 2], "x": [1, 2, 3, None]},
                                      baseline="a", candidate="b", nan_policy="omit"), mirabund.TableError,
     "table column 'x': at least 2 items are needed, got 1 after dropping 1 incomplete item"),
])
def test_errors_name_the_argument(call, error, message):
    with pytest.raises(error) as raised, warnings.catch_warnings():
        warnings.simplefilter("error")
        call()
    assert message in str(raised.value)


def test_results_pickle_and_convert_to_plain_values():
    baseline, candidate, labels = clustered(seed=8)
    n = len(labels)
    table = {"model": ["a"] * n + ["b"] * n, "item": list(range(n)) * 2, "score": [*baseline, *candidate]}
    results = [
        mirabund.mean_interval(baseline, clusters=labels, n_resamples=20),
        mirabund.compare(baseline, candidate, n_resamples=20, block_size=3),
        mirabund.compare_metrics(table, baseline="a", candidate="b", n_resamples=20),
    ]
    for result in results:
        assert pickle.loads(pickle.dumps(result)) == result
        plain = result.to_dict()
        assert json.loads(json.dumps(plain)) == plain
        assert 0 <= plain["seed"] < 2**64
    frame = mirabund.to_frame(results)
    assert frame["metric"].isna().tolist() == [True, True, False] and frame["metric"].iloc[2] == "score"
    assert frame["seed"].tolist() == [result.seed for result in results]


# Results of one seeded comparison, fixed once; the suite runs on every
# supported interpreter, so these prove the same bits on each and every run.
@pytest.mark.parametrize("options, expected", [
    ({"clusters": "topics", "method": "percentile"}, {
        "difference": "0x1.999999999999ap-6", "ci_lower": "0x1.5f15f15f15f18p-8",
        "ci_upper": "0x1.714fbcda3ac11p-5", "standard_error": "0x1.60828a60cf71ap-7",
        "p_value": "0x1.49d186f65ef02p-6", "d_z": "0x1.9b22cb87adae3p-3",
    }),
    ({"block_size": 4}, {
        "difference": "0x1.999999999999ap-6", "ci_lower": "-0x1.1eb851eb851ecp-7",
        "ci_upper": "0x1.f5c28f5c28f5bp-5", "standard_error": "0x1.07686e7e5269fp-6",
        "p_value": "0x1.eb4bf1be55d58p-4", "d_z": "0x1.9b22cb87adae3p-3",
    }),
    ({}, {  # bootstrap-t
        "ci_lower": "-0x1.8d007e00605f8p-8", "ci_upper": "0x1.d6d33245b4792p-5", "p_value": "0x1.ca9960d230f71p-4",
    }),
    ({"method": "exact"}, {
        "ci_lower": "-0x1.ffffffffffffap-8", "ci_upper": "0x1.ddddddddddddcp-5", "p_value": "0x1.076be92366caep-3",
    }),
    ({"clusters": "topics"}, {"standard_error": "0x1.611d56f1b2c47p-7"}),  # CR2
])
def test_seeded_comparison_repeats_to_the_bit(options, expected):
    baseline = [(i * 37 % 101) / 101 for i in range(60)]
    candidate = [b + ((i * 53 % 17) - 7) / 40 for i, b in enumerate(baseline)]
    if "clusters" in options:
        options = {**options, "clusters": [f"t{i * 7 % 11}" for i in range(60)]}
    r = mirabund.compare(baseline, candidate, n_resamples=3000, seed=2**63 + 12345, **options)
    assert {name: float.hex(getattr(r, name)) for name in expected} == expected


ROUTINES = [getattr(mirabund, name) for name in mirabund.__all__ if inspect.isfunction(getattr(mirabund, name))]


def documented(name, doc):
    """Whether a numpy-style entry (``name : type``, ``a, name : type``, or names alone) documents ``name``."""
    return re.search(rf"^ *(\w+, )*(\*\*)?{name}(, \w+)*( :.*)?$", doc, re.MULTILINE) is not None


def test_shared_resamples_equal_one_metric_alone_for_any_threads():
    # Under "omit" the metric with a missing score has items of its own; the
    # others share one call, and each gets what compare() gives it alone.
    rng = np.random.default_rng(5)
    n = 200
    table = {"model": ["a"] * n + ["b"] * n, "item": [f"q{i}" for i in range(n)] * 2}
    for metric in ("m0", "m1", "m2"):
        table[metric] = rng.lognormal(0.0, 1.0, 2 * n)
    table["m2"][n + 7] = np.nan
    for options in ({"method": "bootstrap-t"}, {"method": "percentile", "block_size": 3}):
        runs = [mirabund.compare_metrics(table, baseline="a", candidate="b", nan_policy="omit", seed=9,
                                         n_resamples=301, threads=threads, **options) for threads in (1, 2, None)]
        assert runs[0] == runs[1] == runs[2]
        for metric in ("m0", "m2"):
            alone = [mirabund.compare(table[metric][:n], table[metric][n:], nan_policy="omit", seed=9,
                                      n_resamples=301, threads=threads, **options) for threads in (1, 2)]
            shared = dataclasses.replace(runs[0][metric], metric=None, p_adjusted=None, rejected=None)
            assert alone[0] == alone[1] == shared



@pytest.mark.parametrize("routine", [*ROUTINES, mirabund.SequentialMonitor.update, mirabund.SequentialMonitor.update_many],
                         ids=lambda routine: routine.__qualname__)
def test_help_documents_every_argument_and_field(routine):
    doc = inspect.getdoc(routine)
    assert all(documented(name, doc) for name in inspect.signature(routine).parameters if name != "self")
    returned = getattr(mirabund, inspect.signature(routine).return_annotation, None)
    if dataclasses.is_dataclass(returned):
        assert all(documented(field.name, doc) for field in dataclasses.fields(returned))


def test_series_with_indexes_of_their_own_are_paired_by_index():
    baseline, candidate, labels = clustered(seed=6)
    index = [f"item-{i}" for i in range(len(labels))]
    base = pd.Series(baseline, index=index)
    shuffled = pd.Series(candidate, index=index).sample(frac=1.0, random_state=1)
    topics = pd.Series(labels, index=index).sample(frac=1.0, random_state=2)
    by_position = mirabund.compare(baseline, candidate, clusters=labels, n_resamples=50, seed=1)
    assert mirabund.compare(base, shuffled, clusters=topics, n_resamples=50, seed=1) == by_position
    assert mirabund.mean_interval(base, clusters=topics, n_resamples=50, seed=1) == mirabund.mean_interval(
        baseline, clusters=labels, n_resamples=50, seed=1)
    with pytest.raises(ValueError, match="baseline and candidate are pandas Series whose indexes hold different "
                                         "items: 1 only in baseline"):
        mirabund.compare(base, shuffled.rename(index={"item-3": "item-x"}))


@pytest.mark.parametrize("call, expected", [
    # Masked entries are missing values, not the numbers under the mask.
    (lambda: mirabund.mean_interval(np.ma.masked_array([1.0, 2.0, 99.0, 3.0], mask=[0, 0, 1, 0]),
                                    nan_policy="omit", n_resamples=10, seed=1).mean, 2.0),
    # Decimal('NaN') is a missing label, not a cluster.
    (lambda: mirabund.compare([1, 2, 3, 4, 5], [2, 2, 4, 6, 6], clusters=["a", "b", Decimal("NaN"), "b", "a"],
                              nan_policy="omit", n_resamples=10, seed=1).n_clusters, 2),
])
def test_values_marked_missing_in_any_way_are_missing(call, expected):
    assert call() == expected


def test_metrics_by_default_leave_out_properties_of_the_items():
    table = {"model": ["a"] * 4 + ["b"] * 4, "item": [1, 2, 3, 4] * 2, "fold": [0, 1, 0, 1] * 2,
             "truth": [True, False, True, True] * 2, "score": [0.5, 0.6, 0.7, 0.4, 0.6, 0.6, 0.9, 0.5]}
    family = mirabund.compare_metrics(table, baseline="a", candidate="b", n_resamples=10, seed=1)
    assert family.metrics == ("score",) and family.item_properties == ("fold", "truth")
    named = mirabund.compare_metrics(table, baseline="a", candidate="b", metrics=["fold", "score"], n_resamples=10,
                                     seed=1)
    assert named.metrics == ("fold", "score") and named.item_properties == ()
    with pytest.raises(mirabund.TableError, match="every numeric column is equal for both models on every item"):
        mirabund.compare_metrics({**table, "score": table["fold"]}, baseline="a", candidate="b")


def test_direction_decides_gain_or_loss_and_the_family_reads_as_a_table():
    n = 30
    table = {"model": ["a"] * n + ["b"] * n, "item": list(range(n)) * 2,
             "accuracy": [i % 2 for i in range(n)] + [1] * n, "log_loss": [0.5 + i % 3 / 10 for i in range(2 * n)]}
    table["log_loss"][n:] = [value + 0.3 for value in table["log_loss"][n:]]
    family = mirabund.compare_metrics(table, baseline="a", candidate="b", direction={"log_loss": "lower"},
                                      n_resamples=100, seed=1)
    assert family.directions == (mirabund.Direction.HIGHER, mirabund.Direction.LOWER)
    assert family.outcomes == (mirabund.Outcome.BETTER, mirabund.Outcome.WORSE)
    text = repr(family)
    assert "accuracy" in text and "+0.5000" in text and "worse *" in text
    assert "<table>" in family._repr_html_() and "<td>log_loss</td>" in family._repr_html_()
    assert "<th>difference</th>" in family[0]._repr_html_()
    with pytest.raises(mirabund.TableError, match="'speed' is not a metric"):
        mirabund.compare_metrics(table, baseline="a", candidate="b", direction={"speed": "lower"})
