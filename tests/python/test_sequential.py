import math

import pytest

import _mirabund_core as mc
from reference import Boom, Index, raises_exactly

CONTINUE = mc.SequentialDecision.Continue
REJECT = mc.SequentialDecision.RejectNull
NAN = float("nan")
INF = float("inf")


def state(test):
    return (test.n, repr(test.current_mean), repr(test.variance_estimate))


def fed(values, alpha=0.05, tau=1.0):
    test = mc.SequentialTest(alpha, tau)
    updates = [test.update(x) for x in values]
    return test, updates


@pytest.mark.parametrize(
    "alpha, tau, message",
    [
        (0.0, 1.0, "alpha must be in (0.0, 1.0)"),
        (1.0, 1.0, "alpha must be in (0.0, 1.0)"),
        (NAN, 1.0, "alpha must be in (0.0, 1.0)"),
        (-0.5, 1.0, "alpha must be in (0.0, 1.0)"),
        (2.0, -1.0, "alpha must be in (0.0, 1.0)"),
        (0.05, 0.0, "tau must be > 0.0"),
        (0.05, -1.0, "tau must be > 0.0"),
        (0.05, NAN, "tau must be > 0.0"),
        (0.05, -INF, "tau must be > 0.0"),
    ],
)
def test_constructor_validation(alpha, tau, message):
    with raises_exactly(ValueError, message):
        mc.SequentialTest(alpha, tau)


def test_fresh_test_and_first_observation():
    test = mc.SequentialTest(0.05, 1.0)
    assert (test.n, test.current_mean, test.variance_estimate) == (0, 0.0, None)
    assert type(test.n) is int and type(test.current_mean) is float
    first = test.update(-1.0)  # -1.0 is a value, not a conversion failure
    assert (test.n, test.current_mean, test.variance_estimate) == (1, -1.0, None)
    assert (first.n, first.likelihood_ratio, first.decision) == (1, 1.0, CONTINUE)
    assert repr(first) == 'SequentialUpdate(n=1, likelihood_ratio=1.000000, decision="Continue")'


def test_worked_sequence_and_non_latching_rejection():
    test, updates = fed([1, 2, 3, -3])
    assert [u.n for u in updates] == [1, 2, 3, 4]
    assert updates[1].likelihood_ratio == math.sqrt(0.5 / 2.5) * math.exp(3.6)
    assert updates[2].likelihood_ratio == 0.5 * math.exp(4.5)
    assert [u.decision for u in updates] == [CONTINUE, CONTINUE, REJECT, CONTINUE]
    assert [repr(u) for u in updates] == [
        'SequentialUpdate(n=1, likelihood_ratio=1.000000, decision="Continue")',
        'SequentialUpdate(n=2, likelihood_ratio=16.367228, decision="Continue")',
        'SequentialUpdate(n=3, likelihood_ratio=45.008566, decision="RejectNull")',
        'SequentialUpdate(n=4, likelihood_ratio=0.844863, decision="Continue")',
    ]
    assert (test.n, test.current_mean, test.variance_estimate) == (4, 0.75, 20.75 / 3.0)


def test_moments_follow_the_running_update():
    test = mc.SequentialTest(0.05, 1.0)
    seen = []
    for x in [1, 2, 3]:
        test.update(x)
        seen.append((test.current_mean, test.variance_estimate))
    assert seen == [(1.0, None), (1.5, 0.5), (2.0, 1.0)]


def test_zero_spread_stays_below_the_floor():
    test, updates = fed([4.0, 4.0, 4.0])
    assert [(u.likelihood_ratio, u.decision) for u in updates] == [(1.0, CONTINUE)] * 3
    assert test.variance_estimate == 0.0


def test_rejection_threshold_is_inclusive():
    ratio = fed([1, 2, 3])[1][2].likelihood_ratio
    candidates = [1.0 / ratio, math.nextafter(1.0 / ratio, 0.0), math.nextafter(1.0 / ratio, 1.0)]
    alpha = next(a for a in candidates if 1.0 / a == ratio)
    assert fed([1, 2, 3], alpha=alpha)[1][2].decision == REJECT
    assert fed([1, 2, 3], alpha=math.nextafter(alpha, 0.0))[1][2].decision == CONTINUE


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_non_finite_observation_poisons_for_good(bad):
    test, updates = fed([1.0, 2.0, bad, 100.0, 200.0, 300.0, 1e6])
    assert [u.n for u in updates] == list(range(1, 8))
    assert [(u.likelihood_ratio, u.decision) for u in updates[2:]] == [(1.0, CONTINUE)] * 5
    assert math.isnan(test.variance_estimate)
    assert not math.isfinite(test.current_mean)
    assert repr(updates[-1]) == 'SequentialUpdate(n=7, likelihood_ratio=1.000000, decision="Continue")'


def test_overflowing_ratio_is_infinite_and_rejects():
    update = fed([100.0, 101.0])[1][1]
    assert update.likelihood_ratio == INF
    assert update.decision == REJECT
    assert repr(update) == 'SequentialUpdate(n=2, likelihood_ratio=inf, decision="RejectNull")'


def test_infinite_tau_gives_nan_ratio_and_continues():
    update = fed([1.0, 2.0], tau=INF)[1][1]
    assert math.isnan(update.likelihood_ratio)
    assert update.decision == CONTINUE
    assert repr(update) == 'SequentialUpdate(n=2, likelihood_ratio=NaN, decision="Continue")'


class Number:
    def __init__(self, on_float, value=5.0):
        self.on_float = on_float
        self.value = value

    def __float__(self):
        self.on_float()
        return self.value


def _swallow(exception, call, *args):
    try:
        call(*args)
    except exception:
        pass


@pytest.mark.parametrize("x, expected", [(True, 1.0), (7, 7.0), (Index(3), 3.0), (Number(lambda: None, -1.0), -1.0)])
def test_observation_conversions(x, expected):
    test = mc.SequentialTest(0.05, 1.0)
    test.update(x=x)
    assert test.current_mean == expected


@pytest.mark.parametrize(
    "reentry, message",
    [
        (lambda t: t.n, "Already mutably borrowed"),
        (lambda t: t.current_mean, "Already mutably borrowed"),
        (lambda t: t.variance_estimate, "Already mutably borrowed"),
        (lambda t: t.update(0.0), "Already borrowed"),
        # A refused nested update must not release the outer update's hold.
        (lambda t: (_swallow(RuntimeError, t.update, 0.0), t.n), "Already mutably borrowed"),
    ],
)
def test_reentrant_access_during_update_is_refused(reentry, message):
    test, _ = fed([1.0, 3.0])
    before = state(test)
    with raises_exactly(RuntimeError, message):
        test.update(Number(lambda: reentry(test)))
    assert state(test) == before
    # The borrow was released: the test carries on as if nothing happened.
    assert repr(test.update(5.0)) == repr(fed([1.0, 3.0, 5.0])[1][2])
    assert state(test) == state(fed([1.0, 3.0, 5.0])[0])


class NarrowTypeError(TypeError):
    pass


def _raise(exception):
    raise exception


def _raise_from(exception, cause):
    raise exception from cause


CAUSE = KeyError("k")


@pytest.mark.parametrize(
    "x, exception, message, cause",
    [
        ("1.0", TypeError, "argument 'x': must be real number, not str", None),
        (None, TypeError, "argument 'x': must be real number, not NoneType", None),
        (Number(lambda: _raise(Boom("inside"))), Boom, "inside", None),
        (Number(lambda: _raise(NarrowTypeError("narrow"))), NarrowTypeError, "narrow", None),
        (Number(lambda: _raise_from(TypeError("wide"), CAUSE)), TypeError, "argument 'x': wide", CAUSE),
        (2**2000, OverflowError, "int too large to convert to float", None),
    ],
)
def test_failed_observation_conversion_leaves_state_alone(x, exception, message, cause):
    test, _ = fed([1.0, 3.0])
    before = state(test)
    with raises_exactly(exception, message) as caught:
        test.update(x)
    assert caught.value.__cause__ is cause
    assert state(test) == before


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.update(), "SequentialTest.update() missing 1 required positional argument: 'x'"),
        (lambda t: t.update(1.0, 2.0), "SequentialTest.update() takes 1 positional arguments but 2 were given"),
        (lambda t: t.update(y=1.0), "SequentialTest.update() got an unexpected keyword argument 'y'"),
        (lambda t: t.update(1.0, x=2.0), "SequentialTest.update() got multiple values for argument 'x'"),
        (lambda t: mc.SequentialTest(0.05), "SequentialTest.__new__() missing 1 required positional argument: 'tau'"),
        (lambda t: mc.SequentialTest(), "SequentialTest.__new__() missing 2 required positional arguments: 'alpha' and 'tau'"),
        (lambda t: mc.SequentialTest(0.05, 1.0, 3), "SequentialTest.__new__() takes 2 positional arguments but 3 were given"),
        (lambda t: mc.SequentialTest(0.05, alpha=0.1), "SequentialTest.__new__() got multiple values for argument 'alpha'"),
        (lambda t: mc.SequentialTest(0.05, 1.0, beta=2), "SequentialTest.__new__() got an unexpected keyword argument 'beta'"),
        # Conversion comes before validation, and alpha before tau.
        (lambda t: mc.SequentialTest("x", 1.0), "argument 'alpha': must be real number, not str"),
        (lambda t: mc.SequentialTest(2.0, "x"), "argument 'tau': must be real number, not str"),
        (lambda t: mc.SequentialTest("x", "y"), "argument 'alpha': must be real number, not str"),
    ],
)
def test_binding_and_conversion_messages(call, message):
    test = mc.SequentialTest(0.05, 1.0)
    with raises_exactly(TypeError, message):
        call(test)
    assert state(test) == (0, "0.0", "None")


def test_keywords_and_unusual_parameters():
    test = mc.SequentialTest(tau=INF, alpha=True / 2)
    assert test.update(x=3).n == 1


def test_update_is_a_snapshot_with_fresh_members():
    test = mc.SequentialTest(0.05, 1.0)
    first = test.update(1.0)
    test.update(2.0)
    assert first.n == 1
    assert first.decision == CONTINUE
    assert first.decision is not CONTINUE
    assert first.decision is not first.decision


@pytest.mark.parametrize("name", ["n", "current_mean", "variance_estimate", "alpha", "tau"])
def test_state_cannot_be_assigned(name):
    test = mc.SequentialTest(0.05, 1.0)
    with pytest.raises(AttributeError):
        setattr(test, name, 1.0)
    assert state(test) == (0, "0.0", "None")


def test_has_no_repr_of_its_own():
    test = mc.SequentialTest(0.05, 1.0)
    assert type(test).__repr__ is object.__repr__
    # The interpreter's default repr shows the type's full name.
    assert repr(test).startswith("<builtins.SequentialTest object at 0x")
