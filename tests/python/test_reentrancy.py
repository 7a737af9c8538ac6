"""Python code run by the module (statistics, conversions) calling back into it."""

import gc
import math

import pytest

import _mirabund_core as mc
from reference import bits, panic_class

DATA = [3.5, -1.0, 2.25, 8.0, 0.5, 4.0, -2.75, 6.0, 1.0, 5.5, -0.5, 7.25]
RAISED = "statistic function failed: statistic callable raised an exception: "


def state(test):
    return test.n, repr(test.current_mean), repr(test.variance_estimate)


Panic = panic_class()


def spread(values):
    return max(values) - min(values)


def nested_statistic(depth):
    """A statistic that bootstraps its own list with both functions, `depth` levels down."""

    def statistic(values):
        gc.collect(0)  # objects in flight must be properly owned
        low = mc.block_bootstrap_mean(values, 2, 7, 0.8, seed=len(values) + depth).ci_lower
        inner = nested_statistic(depth - 1) if depth > 1 else spread
        high = mc.block_bootstrap(values, 3, 4, 0.9, inner, seed=depth).ci_upper
        return high - low

    return statistic


class Replay:
    """Records the lists it gets and returns precomputed values in turn."""

    def __init__(self, values=()):
        self.values, self.lists = list(values), []

    def __call__(self, values):
        self.lists.append(values)
        return self.values[len(self.lists) - 1] if self.values else 0.0


@pytest.mark.parametrize("depth", [1, 2])
def test_statistic_that_bootstraps_again(depth):
    statistic = nested_statistic(depth)
    recorder = Replay()
    mc.block_bootstrap(DATA, 3, 6, 0.9, recorder, seed=11)
    # The same statistic evaluated outside any bootstrap, list by list.
    expected = [statistic(list(values)) for values in recorder.lists]
    nested = mc.block_bootstrap(DATA, 3, 6, 0.9, statistic, seed=11)
    replay = Replay(expected)
    assert bits(nested) == bits(mc.block_bootstrap(DATA, 3, 6, 0.9, replay, seed=11))
    # The inner runs did not disturb the outer run's draws.
    assert replay.lists == recorder.lists


def test_nested_failure_messages_stack():
    def innermost(values):
        raise KeyError("deep")

    def middle(values):
        return mc.block_bootstrap(values, 1, 2, 0.5, innermost, seed=0).ci_lower

    def outer(values):
        return mc.block_bootstrap(values, 1, 2, 0.5, middle, seed=0).ci_lower

    with pytest.raises(ValueError) as info:
        mc.block_bootstrap(DATA, 2, 3, 0.9, outer, seed=0)
    assert str(info.value) == RAISED + "ValueError: " + RAISED + "ValueError: " + RAISED + "KeyError: 'deep'"

    with pytest.raises(ValueError) as info:
        mc.block_bootstrap(DATA, 2, 3, 0.9, lambda v: mc.block_bootstrap_mean(v[:0], 1, 2, 0.5).ci_lower)
    assert str(info.value) == RAISED + "ValueError: input data must not be empty"


def test_panic_inside_a_nested_bootstrap_reaches_the_outer_caller(capfd):
    def outer(values):
        return mc.block_bootstrap(values, 1, 3, 0.5, lambda _: math.nan, seed=0).ci_lower

    with pytest.raises(Panic) as info:
        mc.block_bootstrap(DATA, 2, 3, 0.9, outer, seed=0)
    assert info.value.args == ("statistic produced NaN",)
    with pytest.raises(Panic) as info:  # the same from the mean's own sort
        mc.block_bootstrap(DATA, 2, 3, 0.9, lambda v: mc.block_bootstrap_mean([math.nan] + v, 1, 2, 0.5).ci_lower)
    assert info.value.args == ("statistic produced NaN",)
    assert "statistic produced NaN" in capfd.readouterr().err
    # Nothing is left half done.
    assert bits(mc.block_bootstrap(DATA, 3, 6, 0.9, spread, seed=1)) == bits(
        mc.block_bootstrap(DATA, 3, 6, 0.9, spread, seed=1))


def test_statistic_that_feeds_a_sequential_test():
    test = mc.SequentialTest(0.05, 1.0)

    def statistic(values):
        update = test.update(sum(values) / len(values))
        assert test.n == update.n  # reads between updates are free
        return update.likelihood_ratio

    result = mc.block_bootstrap(DATA, 4, 9, 0.9, statistic, seed=3)
    assert test.n == 10
    assert result.point_estimate == 1.0  # the first update never has a ratio


# --- PanicException raised while an argument is converted ---------------------


class PanicNumber:
    def __float__(self):
        raise Panic("from __float__")

    def __index__(self):
        raise Panic("from __index__")


class PanicIteration:
    def __getitem__(self, i):
        raise AssertionError("read by iteration")

    def __iter__(self):
        raise Panic("from __iter__")


class PanicLength(list):
    def __len__(self):
        raise Panic("from __len__")


class PanicText(Exception):
    def __str__(self):
        raise Panic("from __str__")


def raise_panic_text(_values):
    raise PanicText()


P = PanicNumber()
PREF = mc.Preference.Tie


PANICKING_CALLS = {
    "mean data item": (lambda: mc.block_bootstrap_mean([1.0, P], 1, 2, 0.9), "from __float__"),
    "mean data iteration": (lambda: mc.block_bootstrap_mean(PanicIteration(), 1, 2, 0.9), "from __iter__"),
    "mean block_size": (lambda: mc.block_bootstrap_mean(DATA, P, 2, 0.9), "from __index__"),
    "mean n_resamples": (lambda: mc.block_bootstrap_mean(DATA, 1, P, 0.9), "from __index__"),
    "mean confidence_level": (lambda: mc.block_bootstrap_mean(DATA, 1, 2, P), "from __float__"),
    "mean seed": (lambda: mc.block_bootstrap_mean(DATA, 1, 2, 0.9, seed=P), "from __index__"),
    "callable data item": (lambda: mc.block_bootstrap((P,), 1, 2, 0.9, spread), "from __float__"),
    "callable seed": (lambda: mc.block_bootstrap(DATA, 1, 2, 0.9, spread, P), "from __index__"),
    "p_values item": (lambda: mc.correct_p_values([0.5, P], 0.05, mc.CorrectionMethod.Bonferroni),
                      "from __float__"),
    "alpha": (lambda: mc.correct_p_values([0.5], P, mc.CorrectionMethod.Bonferroni), "from __float__"),
    "baseline item": (lambda: mc.cohens_d([P, 1.0], DATA), "from __float__"),
    "treatment iteration": (lambda: mc.cohens_d(DATA, PanicIteration()), "from __iter__"),
    "lengths item": (lambda: mc.length_bias_correction(DATA, [P] * 12), "from __float__"),
    "sequential alpha": (lambda: mc.SequentialTest(P, 1.0), "from __float__"),
    "sequential tau": (lambda: mc.SequentialTest(0.05, P), "from __float__"),
    # Failures that are otherwise discarded still give a panic back.
    "sample length": (lambda: mc.cohens_d(PanicLength([1.0, 2.0]), DATA), "from __len__"),
    "member compared": (lambda: PREF == P, "from __index__"),
    "statistic's error text": (lambda: mc.block_bootstrap(DATA, 1, 2, 0.9, raise_panic_text), "from __str__"),
}


@pytest.mark.parametrize("call, message", list(PANICKING_CALLS.values()), ids=list(PANICKING_CALLS))
def test_panic_during_conversion_reaches_the_caller(call, message, capfd):
    with pytest.raises(Panic) as info:
        call()
    assert type(info.value) is Panic and info.value.args == (message,)
    assert message in capfd.readouterr().err
    assert mc.debias_pairwise_judgment(PREF, PREF).preference == PREF


def test_panic_in_an_observation_leaves_the_test_usable(capfd):
    test = mc.SequentialTest(0.05, 1.0)
    test.update(1.0)
    before = state(test)
    with pytest.raises(Panic) as info:
        test.update(P)
    assert info.value.args == ("from __float__",)
    assert state(test) == before
    assert test.update(3.0).n == 2  # the exclusive hold was released
    capfd.readouterr()


# --- re-entering a SequentialTest ---------------------------------------------


class Observation:
    def __init__(self, during, value=5.0):
        self.during, self.value = during, value

    def __float__(self):
        self.during()
        return self.value


def test_refused_nested_update_can_be_swallowed():
    test = mc.SequentialTest(0.05, 1.0)
    test.update(1.0)
    refusals = []

    def nested():
        try:
            test.update(99.0)
        except RuntimeError as error:
            refusals.append(str(error))

    update = test.update(Observation(nested, 3.0))
    assert refusals == ["Already borrowed"]
    reference = mc.SequentialTest(0.05, 1.0)
    reference.update(1.0)
    assert repr(update) == repr(reference.update(3.0))
    assert state(test) == state(reference)


@pytest.mark.parametrize("reach, refusal", [
    (lambda t: t.update(0.0), "Already borrowed"),
    (lambda t: t.current_mean, "Already mutably borrowed"),
])
def test_update_reentered_through_a_bootstrap_statistic(reach, refusal):
    # update -> __float__ -> block_bootstrap -> statistic -> the same test
    test = mc.SequentialTest(0.05, 1.0)
    test.update(2.0)
    before = state(test)

    def statistic(values):
        reach(test)
        return 0.0

    x = Observation(lambda: mc.block_bootstrap(DATA, 2, 3, 0.9, statistic, seed=0))
    with pytest.raises(ValueError) as info:
        test.update(x)
    assert str(info.value) == RAISED + "RuntimeError: " + refusal
    assert state(test) == before
    assert test.update(4.0).n == 2


def test_another_test_may_be_updated_during_an_update():
    outer, inner = mc.SequentialTest(0.05, 1.0), mc.SequentialTest(0.05, 1.0)
    update = outer.update(Observation(lambda: inner.update(inner.n + 1.0)))
    assert (update.n, inner.n) == (1, 1)
    # And a sample item may call the very function converting it.
    item = Observation(lambda: mc.cohens_d([1.0, 2.0], [3.0, 4.0]), 2.0)
    assert mc.cohens_d([1.0, item, 3.0], [2.0, 3.0, 4.0]).cohens_d == 1.0
