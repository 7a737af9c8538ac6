"""Tables held by lazy engines: paired and reduced where they are, the numbers of the in-memory path."""

import math
import warnings

import numpy as np
import pytest
from reference import UNDER_SANITIZER

import mirabund

pd = pytest.importorskip("pandas")
# The engines' own native libraries leak by the sanitizer's count; the
# native routines these tests reach are those of the in-memory tests.
pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="third-party engines; nothing native of ours")

NUMBERS = ("baseline_mean", "candidate_mean", "difference", "ci_lower", "ci_upper", "standard_error", "z",
           "p_value", "p_adjusted", "d_z", "degrees_of_freedom")


def long_table(seed=3, n_items=400, n_topics=23):
    """Two models on items in topics of unequal size, a 0/1 metric and a
    continuous one, items in label order, topics first met out of label order
    (the engines find them in label order)."""
    rng = np.random.default_rng(seed)
    topics = rng.permutation(n_topics)[np.sort(rng.integers(0, n_topics, n_items))]
    shift = rng.normal(0.0, 0.3, n_topics)[topics]
    base = rng.normal(0.5, 0.2, n_items) + shift
    cand = base + 0.05 + rng.normal(0.0, 0.1, n_items)
    return pd.DataFrame({
        "model": ["a"] * n_items + ["b"] * n_items,
        "item": np.tile(np.arange(n_items), 2),
        "topic": np.tile([f"t{c:02d}" for c in topics], 2),
        "score": np.concatenate([base, cand]),
        "passed": rng.integers(0, 2, 2 * n_items).astype(float),
    })


def assert_same_numbers(expected, found):
    assert found.metrics == expected.metrics
    for want, got in zip(expected, found):
        assert (got.method, got.n_items, got.n_clusters, got.n_dropped) == \
            (want.method, want.n_items, want.n_clusters, want.n_dropped)
        for name in NUMBERS:
            a, b = getattr(want, name), getattr(got, name)
            assert (a is None and b is None) or math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-300), (got.metric, name)


def compared(table, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", mirabund.InferenceWarning)
        return mirabund.compare_metrics(table, baseline="a", candidate="b", seed=9, n_resamples=500, **options)


def duckdb_relation(frame):
    duckdb = pytest.importorskip("duckdb")
    return duckdb.from_df(frame)


def polars_lazy(frame):
    return pytest.importorskip("polars").from_pandas(frame).lazy()


def parquet_scan(frame, tmp_path):
    frame.to_parquet(tmp_path / "scores.parquet", index=False)
    return mirabund.read_table(tmp_path / "scores.parquet", lazy=True)


@pytest.mark.parametrize("engine", [duckdb_relation, polars_lazy, parquet_scan])
def test_lazy_tables_give_the_numbers_of_pandas(engine, tmp_path):
    frame = long_table()
    frame.loc[5, "score"] = np.nan  # a missing score drops that item from its metric only
    lazy = engine(frame, tmp_path) if engine is parquet_scan else engine(frame)
    for options in ({"cluster_column": "topic"}, {"cluster_column": "topic", "method": "exact"},
                    {"cluster_column": "topic", "method": "percentile"}, {"method": "cr2"}, {}):
        assert_same_numbers(compared(frame, nan_policy="omit", **options),
                            compared(lazy, nan_policy="omit", **options))
    # Each model's mean interval too: 0/1 rates by the log-odds interval of CR2.
    from mirabund._metrics import compare_family

    _, means = compare_family(frame, baseline="a", candidate="b", cluster_column="topic", nan_policy="omit",
                              seed=1, with_means=True)
    _, reduced = compare_family(lazy, baseline="a", candidate="b", cluster_column="topic", nan_policy="omit",
                                seed=1, with_means=True)
    for pair, found in zip(means, reduced):
        for want, got in zip(pair, found):
            assert got.method == want.method
            for name in ("mean", "standard_error", "ci_lower", "ci_upper", "degrees_of_freedom"):
                assert math.isclose(getattr(got, name), getattr(want, name), rel_tol=1e-12)


def test_the_command_line_scans_a_large_file_with_duckdb(tmp_path, monkeypatch, capsys):
    from mirabund import _cli, _tables

    frame = long_table(n_items=120, n_topics=12)
    frame.to_parquet(tmp_path / "scores.parquet", index=False)
    pd.concat([frame, frame[frame.model == "b"].assign(model="c")]).to_parquet(tmp_path / "three.parquet")
    printed = {}
    for threshold in (2**60, 0):  # in memory, then scanned
        monkeypatch.setattr(_tables, "LAZY_BYTES", threshold)
        for name, options in (("scores", ["--baseline", "a", "--candidate", "b", "--cluster-column", "topic"]),
                              ("three", [])):
            assert _cli.main(["report", str(tmp_path / f"{name}.parquet"), "--seed", "4", *options]) == 0
            printed.setdefault(name, []).append(capsys.readouterr().out)
    for name, (in_memory, scanned) in printed.items():
        assert scanned == in_memory, name


def test_dask_on_a_local_cluster_gives_the_numbers_of_pandas():
    dd = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    frame = long_table(seed=4, n_items=900, n_topics=40)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) \
            as cluster, distributed.Client(cluster):
        spread = dd.from_pandas(frame.sample(frac=1.0, random_state=2), npartitions=4)
        found = compared(spread, cluster_column="topic")
    assert_same_numbers(compared(frame, cluster_column="topic"), found)


def test_reduced_tables_refuse_a_bad_pairing_with_counts():
    frame = long_table(n_items=60, n_topics=5)
    refusals = {
        "1 item with a row for one model only: item 60 has a row for model 'b'":
            pd.concat([frame, frame.iloc[[-1]].assign(item=60)]),
        "2 items with more than one row for a model: item 3 has a second row for model 'a'":
            pd.concat([frame, frame.iloc[[3, 3, 4]]]),
        "1 item in one cluster for model 'a' and another for model 'b': item 0 is in":
            frame.assign(topic=frame.topic.where(frame.index != 60, "elsewhere")),
        "2 items with a missing value": frame.assign(score=frame.score.where(~frame.index.isin([1, 62])))
    }
    for message, table in refusals.items():
        with pytest.raises(mirabund.TableError, match=message):
            compared(duckdb_relation(table), cluster_column="topic")


def test_spark_gives_the_numbers_of_pandas():
    # pyspark (and java 17) are not in the test requirements: a local session
    # costs about 10 s to start, run where it is installed.
    sql = pytest.importorskip("pyspark.sql")
    session = (sql.SparkSession.builder.master("local[1]").config("spark.ui.enabled", "false")
               .config("spark.sql.shuffle.partitions", "2").getOrCreate())
    try:
        frame = long_table()
        spread = session.createDataFrame(frame)
        for options in ({"cluster_column": "topic"}, {}):
            assert_same_numbers(compared(frame, **options), compared(spread, **options))
    finally:
        session.stop()
