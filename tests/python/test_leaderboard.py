import json
import pickle
import random

import numpy as np
import pytest

import mirabund
from mirabund._leaderboard import _rank_bounds, _tiers, format_leaderboard, leaderboard_json
from mirabund._metrics import Correction

pytestmark = pytest.mark.filterwarnings("ignore::mirabund.InferenceWarning")


def holm_by_definition(p_values, alpha):
    """Holm's step-down test: reject the smallest p-values in order while p_(k) <= alpha / (m - k + 1)."""
    m = len(p_values)
    order = sorted(range(m), key=lambda i: p_values[i])
    rejected = [False] * m
    for k, i in enumerate(order):
        if p_values[i] > alpha / (m - k):
            break
        rejected[i] = True
    adjusted = [0.0] * m
    running = 0.0
    for k, i in enumerate(order):
        running = max(running, min(1.0, (m - k) * p_values[i]))
        adjusted[i] = running
    return adjusted, rejected


def _p_value_sets():
    rng = random.Random(11)
    yield [0.01, 0.04, 0.03, 0.005]
    yield [0.04, 0.01, 0.04, 0.04]  # ties
    yield [0.0, 1.0, 0.5]
    yield [0.3]
    for _ in range(20):
        yield [rng.choice([rng.random() * 0.05, rng.random()]) for _ in range(rng.randint(2, 12))]


@pytest.mark.parametrize("p_values", list(_p_value_sets()))
def test_holm_matches_its_step_down_definition(p_values):
    adjusted, rejected = Correction.HOLM.adjust(p_values, 0.05)
    expected_adjusted, expected_rejected = holm_by_definition(p_values, 0.05)
    assert adjusted == pytest.approx(expected_adjusted, rel=1e-15, abs=0)
    assert rejected == expected_rejected


def test_compare_metrics_adjusts_by_holm():
    rng = np.random.default_rng(3)
    n = 30
    table = {"model": ["a"] * n + ["b"] * n, "item": list(range(n)) * 2}
    for metric, shift in (("x", 0.0), ("y", 0.4), ("z", 0.8)):
        base = rng.normal(size=n)
        table[metric] = [*base, *(base + shift + rng.normal(size=n))]
    family = mirabund.compare_metrics(table, baseline="a", candidate="b", correction="holm", seed=1, n_resamples=200)
    expected_adjusted, expected_rejected = holm_by_definition([c.p_value for c in family], 0.05)
    assert family.correction is Correction.HOLM
    assert [c.p_adjusted for c in family] == pytest.approx(expected_adjusted, rel=1e-15, abs=0)
    assert [c.rejected for c in family] == expected_rejected


@pytest.mark.parametrize(
    "n_models, claims, bounds",
    [
        (3, [], [(1, 3)] * 3),
        (3, [(0, 1), (0, 2), (1, 2)], [(1, 1), (2, 2), (3, 3)]),
        (4, [(0, 3), (1, 3)], [(1, 3), (1, 3), (1, 4), (3, 4)]),
        (3, [(2, 0)], [(2, 3), (1, 3), (1, 2)]),
    ],
)
def test_rank_interval_from_claims(n_models, claims, bounds):
    """From 1 + the models significantly better to the count less those significantly worse."""
    assert _rank_bounds(n_models, claims) == bounds


@pytest.mark.parametrize(
    "order, distinct, tiers",
    [
        ([0, 1, 2], set(), [[0, 1, 2]]),
        ([0, 1, 2], {(0, 1), (0, 2), (1, 2)}, [[0], [1], [2]]),
        # b is tied with a and c, a beats c: greedy down the ranking, c starts a tier.
        ([0, 1, 2], {(0, 2)}, [[0, 1], [2]]),
        ([2, 0, 1, 3], {(2, 3), (0, 3)}, [[2, 0, 1], [3]]),
    ],
)
def test_tiers_are_greedy_down_the_ranking(order, distinct, tiers):
    assert _tiers(order, {frozenset(pair) for pair in distinct}) == tiers


def _table(n_items=24, shifts=(0.0, 0.5, 1.5), seed=5):
    """Three models with item effects shared across models, each model's rows in its own order."""
    rng = np.random.default_rng(seed)
    item_effect = rng.normal(size=n_items) * 2
    rows = []
    for model, shift in zip("abc", shifts):
        scores = item_effect + shift + rng.normal(size=n_items)
        for item in rng.permutation(n_items).tolist():
            rows.append((model, f"q{item}", f"t{item % 6}", float(scores[item])))
    model, item, topic, score = (list(column) for column in zip(*rows))
    return {"model": model, "item": item, "topic": topic, "score": score}


def _scores(table, model, items):
    found = {i: s for m, i, s in zip(table["model"], table["item"], table["score"]) if m == model}
    return [found[i] for i in items]


@pytest.mark.parametrize("cluster_column", [None, "topic"])
def test_each_pair_is_the_paired_comparison_of_the_same_items(cluster_column):
    table = _table()
    board = mirabund.compare_models(table, metric="score", cluster_column=cluster_column, seed=4, n_resamples=300)
    # Items in the first model's row order, the order the pairs sum in.
    items = [item for model, item in zip(table["model"], table["item"]) if model == "a"]
    topics = [f"t{int(item[1:]) % 6}" for item in items]
    assert len(board.pairs) == 3
    for pair in board.pairs:
        direct = mirabund.compare(_scores(table, pair.baseline, items), _scores(table, pair.candidate, items),
                                  clusters=topics if cluster_column else None, seed=4, n_resamples=300)
        assert pair.comparison.p_value == direct.p_value
        assert (pair.comparison.ci_lower, pair.comparison.ci_upper) == (direct.ci_lower, direct.ci_upper)
        assert pair.comparison.difference == direct.difference
    assert board.n_items == 24 and board.n_clusters == (6 if cluster_column else None)


@pytest.mark.parametrize("higher_is_better, ranking, better", [(True, ("c", "b", "a"), "c"), (False, ("a", "b", "c"), "a")])
def test_direction_orders_ranks_and_claims(higher_is_better, ranking, better):
    board = mirabund.compare_models(_table(shifts=(0.0, 1.0, 3.0)), metric="score", higher_is_better=higher_is_better,
                                    seed=1, n_resamples=300)
    assert board.ranking == ranking
    assert [(m.rank, m.rank_lower, m.rank_upper, m.tier) for m in board] == [(1, 1, 1, 1), (2, 2, 2, 2), (3, 3, 3, 3)]
    assert board.pair("a", "c").better == better


def test_omit_drops_items_lacking_a_model_or_a_score_for_every_pair():
    table = _table()
    drop_rows = [i for i, (m, item) in enumerate(zip(table["model"], table["item"])) if (m, item) == ("c", "q0")]
    table = {name: [v for i, v in enumerate(column) if i not in drop_rows] for name, column in table.items()}
    missing = next(i for i, (m, item) in enumerate(zip(table["model"], table["item"])) if (m, item) == ("a", "q1"))
    table["score"][missing] = None
    with pytest.raises(mirabund.TableError, match="item 'q0' has a row for model 'a' but none for model 'c'"):
        mirabund.compare_models(table, metric="score", seed=1)
    board = mirabund.compare_models(table, metric="score", nan_policy="omit", seed=1, n_resamples=200)
    assert (board.n_items, board.n_dropped) == (22, 2)
    assert {(p.comparison.n_items, p.comparison.n_dropped) for p in board.pairs} == {(22, 2)}
    assert {m.interval.n_items for m in board} == {22}


def test_baseline_compares_only_against_it():
    board = mirabund.compare_models(_table(), metric="score", baseline="b", models=["a", "b", "c"], seed=1,
                                    n_resamples=200)
    assert [(p.baseline, p.candidate) for p in board.pairs] == [("b", "a"), ("b", "c")]
    with pytest.raises(ValueError, match="baseline must be one of the compared models 'a', 'c', got 'b'"):
        mirabund.compare_models(_table(), metric="score", baseline="b", models=["a", "c"])


def test_an_item_in_different_clusters_for_two_models_is_refused():
    table = _table()
    row = next(i for i, (m, item) in enumerate(zip(table["model"], table["item"])) if (m, item) == ("c", "q0"))
    table["topic"][row] = "elsewhere"
    with pytest.raises(mirabund.TableError, match=f"row {row}: item 'q0' is in cluster 't0' for model 'a' but in "
                                                  "'elsewhere' for model 'c'"):
        mirabund.compare_models(table, metric="score", cluster_column="topic")


def test_result_round_trips_and_reports(tmp_path):
    # b is a plus 1 on every item: differences without spread, an infinite d_z.
    table = {"model": ["a"] * 8 + ["b"] * 8 + ["c"] * 8, "item": list(range(8)) * 3,
             "score": [*range(8), *(x + 1 for x in range(8)), 3, 1, 4, 1, 5, 9, 2, 6]}
    board = mirabund.compare_models(table, metric="score", seed=2, n_resamples=100)
    assert pickle.loads(pickle.dumps(board)) == board
    assert "Infinity" in json.dumps(board.to_dict())
    document = leaderboard_json(board, "scores.csv")
    json.dumps(document, allow_nan=False)
    assert document["file"] == "scores.csv" and len(document["models"]) == 3
    assert list(board.to_frame()["model"]) == list(board.ranking)
    assert len(board.to_frame("pairs")) == 3 and len(mirabund.to_frame(board)) == 3
    assert format_leaderboard(board, "scores.csv").startswith("score: 3 models on 8 items: scores.csv")
    pytest.importorskip("matplotlib")
    from mirabund._chart import draw_leaderboard

    draw_leaderboard(tmp_path / "board.png", [board, board])  # one panel per metric
    assert (tmp_path / "board.png").stat().st_size > 0
