"""Every entry point fed arbitrary Python objects, and invariants on valid input.

Whatever it is given, a call either returns its result class or raises one of
the ordinary exceptions with a message; it never crashes, never raises
SystemError and never leaves a bare exception.
"""

import array
import decimal
import enum
import fractions
import math
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _mirabund_core as mc
from reference import UNDER_SANITIZER, Boom, Index, bits, library_mean


def examples(n):
    """Settings for one property: n examples normally, a tenth under the sanitizer."""
    return settings(
        max_examples=max(8, n // 10) if UNDER_SANITIZER else n,
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
    )


ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, Boom)
PANIC_NAN = ("statistic produced NaN",)
METHODS = [mc.CorrectionMethod.Bonferroni, mc.CorrectionMethod.BenjaminiHochberg]
PREFERENCES = [mc.Preference.PrefersA, mc.Preference.PrefersB, mc.Preference.Tie]


# --- hostile and foreign objects ----------------------------------------------


class FloatOnly:
    def __init__(self, outcome):
        self.outcome = outcome

    def __float__(self):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome  # may be an int, a str, None: the interpreter refuses those

    def __repr__(self):
        return f"FloatOnly({self.outcome!r})"


class HostileSequence:
    """A sequence whose length, items or iteration may lie or raise."""

    def __init__(self, items, length, iteration):
        self.items, self.length, self.iteration = items, length, iteration

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if isinstance(self.iteration, BaseException):
            raise self.iteration
        if self.iteration == "not an iterator":
            return 42
        if self.iteration == "raise midway":
            return self._midway()
        return iter(self.items)

    def _midway(self):
        yield from self.items[:1]
        raise Boom("iteration broke")

    def __repr__(self):
        return f"HostileSequence({self.items!r}, {self.length!r}, {self.iteration!r})"


class Colour(enum.Enum):
    Red = 0


class Level(enum.IntEnum):
    Low = 0
    High = 3
    Huge = 2**70


def _result_objects():
    return [
        mc.block_bootstrap_mean([1.0, 2.0, 3.0], 1, 3, 0.9, seed=0),
        mc.correct_p_values([0.01, 0.5], 0.05, mc.CorrectionMethod.Bonferroni),
        mc.cohens_d([1, 2, 3], [2, 3, 4]),
        mc.length_bias_correction([1, 2, 3], [1, 2, 4]),
        mc.debias_pairwise_judgment(mc.Preference.Tie, mc.Preference.PrefersA),
        mc.SequentialTest(0.05, 1.0).update(1.0),
        mc.SequentialTest(0.05, 1.0),
    ]


MEMBERS = [
    *PREFERENCES,
    *METHODS,
    *(getattr(mc.EffectMagnitude, n) for n in ("Negligible", "Small", "Medium", "Large")),
    mc.SequentialDecision.Continue,
    mc.SequentialDecision.RejectNull,
]
FOREIGN = [
    object(), Ellipsis, 1 + 2j, Colour.Red, Level.Low, Level.High, Level.Huge,
    mc.cohens_d, mc.Preference, mc.SequentialTest, library_mean,
    *MEMBERS, *_result_objects(),
]
HUGE_INTS = [2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**64), 2**1024, -(2**1024), 10**400]
# Counts that must fail at once: beyond what a vector can hold, or beyond 64 bits.
HUGE_COUNTS = [2**60 + 1, 2**62, 2**63, 2**64 - 1, 2**64, 2**100, -1, -(2**64)]


def mostly(common, rare, odds=6):
    """`common`, `odds` times as often as `rare`."""
    return st.sampled_from([True] * odds + [False]).flatmap(lambda pick: common if pick else rare)


errors = st.sampled_from([TypeError, ValueError, OverflowError, RuntimeError, MemoryError, Boom]).map(
    lambda kind: kind("hostile")
)
any_ints = st.one_of(st.integers(), st.sampled_from(HUGE_INTS))
count_ints = mostly(st.integers(1, 50), st.one_of(st.integers(-3, 0), st.sampled_from(HUGE_COUNTS)))


def anything(ints, free_arrays=True):
    """Objects of many kinds; every integer an object can turn into comes from `ints`,
    except that arrays hold any values of their dtype when `free_arrays` is set (a
    zero-dimensional integer array reads as an index)."""
    scalars = st.one_of(
        ints,
        st.floats(),
        st.booleans(),
        st.none(),
        st.text(max_size=4),
        st.binary(max_size=4),
        st.sampled_from(FOREIGN),
        ints.filter(lambda i: -(2**63) <= i < 2**63).map(np.int64),
        ints.filter(lambda i: 0 <= i < 2**64).map(np.uint64),
        ints.filter(lambda i: -(2**63) <= i < 2**63).map(lambda i: np.array(i)),
        st.floats().map(np.float64),
        st.floats(width=32).map(np.float32),
        st.decimals(allow_nan=True),
        st.sampled_from([decimal.Decimal("sNaN"), decimal.Decimal("-Infinity")]),
        st.fractions(),
        st.just(fractions.Fraction(10**400, 3)),
        st.one_of(errors, st.floats(), ints, st.none(), st.text(max_size=2)).map(FloatOnly),
        st.one_of(errors, ints, st.floats(), st.none()).map(Index),
    )
    items = st.one_of(scalars, st.lists(st.floats(), max_size=2))
    containers = st.one_of(
        st.lists(items, max_size=8),
        st.lists(items, max_size=8).map(tuple),
        st.lists(st.floats(), max_size=8).map(lambda xs: (x for x in xs)),
        st.dictionaries(st.integers(), st.floats(), max_size=3),
        st.sets(st.floats(allow_nan=False), max_size=3),
        st.binary(max_size=6).map(bytearray),
        st.lists(st.floats(), max_size=8).map(lambda xs: array.array("d", xs)),
        st.lists(st.floats(), max_size=8).map(lambda xs: memoryview(array.array("d", xs))),
        st.lists(st.floats(), max_size=8).map(lambda xs: memoryview(array.array("d", xs))[::-2]),
        st.builds(range, st.integers(-5, 5), st.integers(-5, 20)),
        hnp.arrays(
            st.one_of(
                hnp.scalar_dtypes(),
                hnp.floating_dtypes(endianness="?"),
                hnp.unicode_string_dtypes(max_len=3),
                st.just(np.dtype(object)),
            ),
            hnp.array_shapes(min_dims=0 if free_arrays else 1, max_dims=2, min_side=0, max_side=5),
        ),
        hnp.arrays(np.float64, st.integers(0, 10)).map(lambda a: a[::-1]),
        st.builds(
            HostileSequence,
            st.lists(items, max_size=5),
            st.one_of(st.integers(-1, 10), st.sampled_from([2**62, 2**64]), errors),
            st.one_of(st.sampled_from(["plain", "not an iterator", "raise midway"]), errors),
        ),
    )
    return st.one_of(scalars, containers)


ANY = anything(any_ints)
# For n_resamples: nothing that reads as an index may ask for a long run.
ANY_COUNT = anything(count_ints, free_arrays=False)


class Parameters(tuple):
    """(name, valid, hostile, required) entries, shown by name only in reports."""

    def __repr__(self):
        return "Parameters(" + ", ".join(name for name, *_ in self) + ")"


@st.composite
def invocation(draw, parameters):
    """(args, kwargs) for `parameters`, entries (name, valid, hostile, required).

    `valid` is a strategy, or a function of the values drawn so far giving one.
    Each argument is hostile one time in six, so that most calls get past the
    first parameters; one call in eight is bound wrongly.
    """
    names = [name for name, _, _, _ in parameters]
    values = {}
    for name, valid, hostile, required in parameters:
        if not required and draw(st.booleans()):
            continue  # an omitted optional argument
        valid_here = valid(values) if callable(valid) else valid
        values[name] = draw(mostly(valid_here, hostile))
    present = [n for n in names if n in values]
    style = draw(st.sampled_from(["positional", "keyword", *["mixed"] * 6, "broken"]))
    cut = {"positional": len(present), "keyword": 0}.get(style) or draw(st.integers(0, len(present)))
    args = [values[n] for n in present[:cut]]
    kwargs = {n: values[n] for n in present[cut:]}
    if style == "broken":
        fault = draw(st.sampled_from(["drop", "extra", "unknown", "twice"]))
        if fault == "drop" and present:
            name = draw(st.sampled_from(present))
            if name in kwargs:
                del kwargs[name]
            else:
                args = args[: present.index(name)]
        elif fault == "extra":
            args, kwargs = [values.get(n) for n in names] + [None], {}
        elif fault == "unknown":
            kwargs["bogus"] = 1
        elif fault == "twice" and args:
            kwargs[names[0]] = args[0]
    return args, kwargs


def calls(*parameters):
    return invocation(Parameters(parameters))


def touch(result):
    """Reads every property twice and renders the object, as a caller would."""
    names = [k for k, v in vars(type(result)).items() if type(v).__name__ == "getset_descriptor"]
    for name in names:
        first, second = getattr(result, name), getattr(result, name)
        assert repr(first) == repr(second)
        if type(first) in {type(m) for m in MEMBERS}:
            assert int(first) in range(4)
            assert repr(first).startswith(type(first).__name__ + ".")
    assert isinstance(repr(result), str)


def outcome(call, expected_type, may_panic=False):
    """Runs `call`; returns its result, or None after an allowed exception."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = call()
        except ALLOWED as error:
            assert error.args and str(error), f"{type(error).__name__} without a message"
            return None
        except BaseException as error:
            if may_panic and type(error).__name__ == "PanicException" and error.args == PANIC_NAN:
                return None
            raise AssertionError(f"{type(error).__qualname__}: {error!r}") from error
    assert type(result) is expected_type
    touch(result)
    return result


def _all_finite(data):
    return type(data) is list and all(
        type(x) in (float, int) and math.isfinite(x) and abs(x) < 2**1000 for x in data
    )


# --- arbitrary arguments ------------------------------------------------------

unit = st.floats(0.0, 1.0, exclude_min=True, exclude_max=True)
finite_or_not = mostly(st.floats(-1e6, 1e6), st.floats(), odds=4)


def _sample(min_size):
    valid = st.lists(st.one_of(finite_or_not, st.integers(-(10**6), 10**6)), min_size=min_size, max_size=20)
    return mostly(valid, st.lists(finite_or_not, max_size=2))


def _paired(scores):
    """Mostly as many lengths as there are scores."""
    n = len(scores) if isinstance(scores, list) else 3
    return mostly(st.lists(finite_or_not, min_size=n, max_size=n), _sample(0))


def _block_size(values):
    n = len(values["data"]) if isinstance(values.get("data"), list) else 5
    return mostly(st.integers(1, max(n, 1)), st.integers(0, n + 1))


BOOTSTRAP_HEAD = [
    ("data", _sample(1), ANY, True),
    ("block_size", _block_size, ANY, True),
    ("n_resamples", count_ints, ANY_COUNT, True),
    ("confidence_level", mostly(unit, st.one_of(st.floats(), st.floats(-0.5, 1.5))), ANY, True),
]
SEED = ("seed", mostly(st.one_of(st.none(), st.integers(0, 2**64 - 1)), any_ints), ANY, False)


def _returning(value):
    return lambda values: value


def _raising(error):
    def statistic(values):
        raise error

    return statistic


statistics = st.one_of(
    st.just(library_mean),
    st.just(len),
    st.just(max),
    ANY.map(_returning),
    errors.map(_raising),
    ANY,
)


@examples(600)
@given(calls(*BOOTSTRAP_HEAD, SEED))
def test_block_bootstrap_mean_any_arguments(call):
    args, kwargs = call
    data = (args or [kwargs.get("data")])[0]
    outcome(lambda: mc.block_bootstrap_mean(*args, **kwargs), mc.BootstrapResult,
            may_panic=not _all_finite(data))


@examples(600)
@given(calls(*BOOTSTRAP_HEAD, ("statistic", statistics, ANY, True), SEED))
def test_block_bootstrap_any_arguments(call):
    args, kwargs = call
    outcome(lambda: mc.block_bootstrap(*args, **kwargs), mc.BootstrapResult, may_panic=True)


@examples(400)
@given(calls(
    ("p_values", mostly(st.lists(st.floats(0.0, 1.0), min_size=1, max_size=12), st.lists(st.floats(), max_size=3)),
     ANY, True),
    ("alpha", mostly(unit, st.floats()), ANY, True),
    ("method", st.sampled_from(METHODS), st.one_of(ANY, st.sampled_from(MEMBERS)), True),
))
def test_correct_p_values_any_arguments(call):
    args, kwargs = call
    outcome(lambda: mc.correct_p_values(*args, **kwargs), mc.CorrectionResult)


@examples(400)
@given(calls(("baseline", _sample(1), ANY, True), ("treatment", _sample(1), ANY, True)))
def test_cohens_d_any_arguments(call):
    args, kwargs = call
    outcome(lambda: mc.cohens_d(*args, **kwargs), mc.EffectSizeResult)


@examples(400)
@given(calls(
    ("scores", _sample(3), ANY, True),
    ("lengths", lambda values: _paired(values.get("scores")), ANY, True),
))
def test_length_bias_correction_any_arguments(call):
    args, kwargs = call
    outcome(lambda: mc.length_bias_correction(*args, **kwargs), mc.LengthBiasResult)


@examples(300)
@given(calls(*[
    (name, st.sampled_from(PREFERENCES), st.one_of(ANY, st.sampled_from(MEMBERS)), True)
    for name in ("original_order", "swapped_order")
]))
def test_debias_pairwise_judgment_any_arguments(call):
    args, kwargs = call
    outcome(lambda: mc.debias_pairwise_judgment(*args, **kwargs), mc.PairwiseDebiasResult)


@examples(400)
@given(calls(
    ("alpha", mostly(unit, st.floats()), ANY, True),
    ("tau", mostly(st.floats(0.0, 10.0, exclude_min=True), st.floats()), ANY, True),
))
def test_sequential_test_constructor_any_arguments(call):
    args, kwargs = call
    test = outcome(lambda: mc.SequentialTest(*args, **kwargs), mc.SequentialTest)
    if test is not None:
        assert (test.n, test.current_mean, test.variance_estimate) == (0, 0.0, None)


def _state(test):
    return test.n, bits(test.current_mean), bits(test.variance_estimate)


@examples(300)
@given(st.lists(calls(("x", st.floats(), ANY, True)), min_size=1, max_size=6))
def test_sequential_update_any_arguments(observations):
    test = mc.SequentialTest(0.05, 1.0)
    for args, kwargs in observations:
        before = _state(test)
        update = outcome(lambda: test.update(*args, **kwargs), mc.SequentialUpdate)
        if update is None:
            assert _state(test) == before  # a refused observation leaves no trace
        else:
            assert update.n == test.n == before[0] + 1


# --- invariants on valid input ------------------------------------------------

finite = st.floats(-1e6, 1e6)


@st.composite
def bootstrap_runs(draw):
    data = draw(st.lists(st.one_of(finite, st.floats(-1e300, 1e300)), min_size=1, max_size=30))
    block_size = draw(st.integers(1, len(data)))
    n_resamples = draw(st.integers(1, 50))
    level = draw(st.floats(0.0, 1.0, exclude_min=True, exclude_max=True))
    seed = draw(st.integers(0, 2**64 - 1))
    return data, block_size, n_resamples, level, seed


@examples(300)
@given(bootstrap_runs())
def test_seeded_bootstrap_repeats_bit_for_bit(run):
    data, block_size, n_resamples, level, seed = run
    first = mc.block_bootstrap_mean(data, block_size, n_resamples, level, seed=seed)
    assert bits(mc.block_bootstrap_mean(data, block_size, n_resamples, level, seed)) == bits(first)
    assert bits(mc.block_bootstrap(data, block_size, n_resamples, level, library_mean, seed=seed)) == bits(first)
    assert bits(first.point_estimate) == bits(library_mean(data))
    assert (first.confidence_level, first.n_resamples) == (level, n_resamples)
    assert first.ci_lower <= first.ci_upper
    # Every bound is the mean of some resample, so it lies within the data's range.
    slack = 1e-12 * max(abs(x) for x in data)
    assert min(data) - slack <= first.ci_lower and first.ci_upper <= max(data) + slack


@examples(200)
@given(bootstrap_runs(), st.lists(finite, min_size=1, max_size=4))
def test_seeded_bootstrap_ignores_how_the_statistic_treats_its_list(run, junk):
    data, block_size, n_resamples, level, seed = run

    def vandal(values):
        value = max(values)
        values[:] = junk
        return value

    plain = mc.block_bootstrap(data, block_size, n_resamples, level, max, seed=seed)
    assert bits(mc.block_bootstrap(data, block_size, n_resamples, level, vandal, seed=seed)) == bits(plain)
    assert plain.ci_lower <= plain.ci_upper


# A small pool makes ties, zeros of both signs and the ends of [0, 1] common.
p_value = st.one_of(
    st.floats(0.0, 1.0),
    st.sampled_from([0.0, -0.0, 1.0, 5e-324, 0.01, 0.05, 0.5, 0.049999999999999996]),
)


@examples(400)
@given(st.lists(p_value, min_size=1, max_size=25), st.floats(0.0, 1.0, exclude_min=True, exclude_max=True),
       st.data())
def test_correction_invariants(p_values, alpha, data):
    m = len(p_values)
    bonferroni = mc.correct_p_values(p_values, alpha, mc.CorrectionMethod.Bonferroni)
    bh = mc.correct_p_values(p_values, alpha, mc.CorrectionMethod.BenjaminiHochberg)
    for result in (bonferroni, bh):
        adjusted = result.adjusted_p_values
        assert len(adjusted) == len(result.rejected) == m
        assert all(0.0 <= a <= 1.0 for a in adjusted)
        assert result.rejected == [a <= alpha for a in adjusted]
        assert result.alpha == alpha
    assert all(b <= f for b, f in zip(bh.adjusted_p_values, bonferroni.adjusted_p_values))
    # Adjusted values keep the order of the raw ones.
    ranked = sorted(range(m), key=lambda i: p_values[i])
    for adjusted in (bh.adjusted_p_values, bonferroni.adjusted_p_values):
        in_rank = [adjusted[i] for i in ranked]
        assert in_rank == sorted(in_rank)

    order = data.draw(st.permutations(range(m)))
    for method, expected in ((mc.CorrectionMethod.BenjaminiHochberg, bh),
                             (mc.CorrectionMethod.Bonferroni, bonferroni)):
        shuffled = mc.correct_p_values([p_values[i] for i in order], alpha, method)
        restored = [None] * m
        for position, i in enumerate(order):
            restored[i] = shuffled.adjusted_p_values[position]
        assert [bits(a) for a in restored] == [bits(a) for a in expected.adjusted_p_values]


def _mean(values):
    return sum(map(fractions.Fraction, values)) / len(values)


@examples(400)
@given(st.integers(3, 25).flatmap(lambda n: st.tuples(
    st.lists(st.one_of(finite, st.floats(-1e12, 1e12)), min_size=n, max_size=n),
    st.lists(st.one_of(st.integers(0, 10**5).map(float), st.floats(0.0, 1e9)), min_size=n, max_size=n),
)))
def test_length_adjusted_scores_keep_the_mean_and_lose_the_slope(pairs):
    scores, lengths = pairs
    try:
        result = mc.length_bias_correction(scores, lengths)
    except ValueError as error:
        assert str(error) == "all lengths are identical \u2014 length effect cannot be estimated"
        assume(False)
    adjusted = result.adjusted_scores
    assert len(adjusted) == len(scores)
    assume(all(map(math.isfinite, adjusted)))
    # Exact arithmetic on the returned doubles, against bounds for the
    # rounding of the module's sums, deviations and products.
    n = len(scores)
    eps = 2.0**-52
    rounding = (n + 4) * eps
    slope = abs(result.slope)
    magnitude = max(abs(x) for x in [*scores, *adjusted, result.intercept,
                                      *(length * result.slope for length in lengths)])
    assert abs(_mean(adjusted) - _mean(scores)) <= 8 * rounding * magnitude + 16 * 2.0**-1074
    mean_s, mean_l = _mean(scores), _mean(lengths)
    dl = [fractions.Fraction(length) - mean_l for length in lengths]
    spread_s = sum(abs(fractions.Fraction(s) - mean_s) for s in scores)
    spread_l = sum(abs(d) for d in dl)
    ss_l = sum(d * d for d in dl)
    assume(ss_l > 0)
    big_l, big_s = max(map(abs, lengths)), max(map(abs, scores))
    slope_error = (rounding * (big_l * spread_s + big_s * spread_l + 2 * slope * big_l * spread_l) / ss_l
                   + eps * slope)
    tolerance = 4 * (slope_error + 4 * eps * magnitude * spread_l / ss_l)
    tolerance += 16 * 2.0**-1074 * (1 + (n + spread_l) / ss_l)  # subnormals round absolutely
    refit = sum(d * fractions.Fraction(a) for d, a in zip(dl, adjusted)) / ss_l
    assert abs(refit) <= tolerance
    if result.correlation != 0.0:
        assert -1.0 - 1e-12 <= result.correlation <= 1.0 + 1e-12


@examples(60)
@given(st.sampled_from(PREFERENCES), st.sampled_from(PREFERENCES), st.booleans())
def test_pairwise_rule(original, swapped, fresh):
    if fresh:  # members read back from a result are new objects of the same class
        original = mc.debias_pairwise_judgment(original, original).preference
    result = mc.debias_pairwise_judgment(original, swapped)
    agree = int(original) == int(swapped)
    assert result.position_bias_detected is (not agree)
    assert result.preference == (original if agree else mc.Preference.Tie)
    assert type(result.preference) is mc.Preference


@examples(300)
@given(st.lists(st.one_of(finite, st.floats(allow_nan=False)), min_size=2, max_size=15),
       st.lists(st.one_of(finite, st.floats()), min_size=2, max_size=15))
def test_cohens_d_is_antisymmetric(baseline, treatment):
    try:
        forward = mc.cohens_d(baseline, treatment)
    except ValueError as error:
        with pytest.raises(ValueError) as again:
            mc.cohens_d(treatment, baseline)
        assert again.value.args == error.args
        return
    backward = mc.cohens_d(treatment, baseline)
    for a, b in ((forward.cohens_d, backward.cohens_d), (forward.hedges_g, backward.hedges_g)):
        assert a == -b or (math.isnan(a) and math.isnan(b))
    assert forward.magnitude == backward.magnitude
    assert (forward.n_baseline, forward.n_treatment) == (len(baseline), len(treatment))


def _reference_updates(alpha, tau, xs):
    """The update rule in the same order of operations, one double at a time."""
    n, mean, m2, out = 0, 0.0, 0.0, []
    for x in xs:
        n += 1
        c = float(n)
        delta = x - mean
        mean = delta / c + mean
        m2 = (x - mean) * delta + m2
        ratio = 1.0
        if n >= 2:
            v = m2 / (c + -1.0)
            if v > 1e-12:
                t2 = tau * tau
                d = t2 * c + v
                s = math.sqrt(v / d)
                e = (((c * c) * t2) * mean) * mean / ((v + v) * d)
                try:
                    growth = math.exp(e)
                except OverflowError:
                    growth = math.inf
                ratio = growth * s
        variance = m2 / (c + -1.0) if n >= 2 else None
        out.append((n, bits(ratio), ratio >= 1.0 / alpha, bits(mean), bits(variance)))
    return out


@examples(300)
@given(st.floats(0.0, 1.0, exclude_min=True, exclude_max=True),
       st.one_of(st.floats(1e-3, 1e3), st.just(math.inf)),
       st.lists(st.one_of(st.floats(-100.0, 100.0), st.floats()), min_size=1, max_size=20))
def test_sequential_updates_follow_the_rule_to_the_last_bit(alpha, tau, xs):
    test = mc.SequentialTest(alpha, tau)
    seen = []
    for x in xs:
        update = test.update(x)
        assert update.n == test.n
        rejected = update.decision == mc.SequentialDecision.RejectNull
        seen.append((update.n, bits(update.likelihood_ratio), rejected,
                     bits(test.current_mean), bits(test.variance_estimate)))
    assert seen == _reference_updates(alpha, tau, xs)
