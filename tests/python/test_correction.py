import random

import pytest

import _mirabund_core as mc
from reference import raises_exactly

BONF = mc.CorrectionMethod.Bonferroni
BH = mc.CorrectionMethod.BenjaminiHochberg
NAN = float("nan")


def reprs(values):
    # Compares floats bit for bit, sign of zero included.
    return [repr(v) for v in values]


@pytest.mark.parametrize(
    "p_values, alpha, method, adjusted, rejected",
    [
        ([0.01, 0.04, 0.03, 0.005], 0.05, BONF, [0.04, 0.16, 0.12, 0.02], [True, False, False, True]),
        ([0.01, 0.04, 0.03, 0.005], 0.05, BH, [0.02, 0.04, 0.04, 0.02], [True] * 4),
        # The third raw ratio is 0.049999999999999996 and the step-up carries it down.
        ([0.01, 0.02, 0.03, 0.04, 0.05], 0.05, BH, [0.049999999999999996] * 3 + [0.05] * 2, [True] * 5),
        ([0.3, 0.6, 0.9], 0.05, BONF, [0.8999999999999999, 1.0, 1.0], [False] * 3),
        ([0.3], 0.3, BONF, [0.3], [True]),
        ([0.3], 0.3, BH, [0.3], [True]),
        ([0.0, 1.0, -0.0], 0.5, BONF, [0.0, 1.0, -0.0], [True, False, True]),
        ([0.0, 1.0, -0.0], 0.5, BH, [0.0, 1.0, -0.0], [True, False, True]),
        # Ties end equal whatever their order; the output keeps input order.
        ([0.04, 0.01, 0.04, 0.04], 0.05, BH, [0.04, 0.04, 0.04, 0.04], [True] * 4),
        ([0.9, 0.2, 0.5, 0.2], 0.5, BH, [0.9, 0.4, 0.6666666666666666, 0.4], [False, True, False, True]),
    ],
)
def test_adjusted_values_to_the_last_bit(p_values, alpha, method, adjusted, rejected):
    result = mc.correct_p_values(p_values, alpha, method)
    assert reprs(result.adjusted_p_values) == reprs(adjusted)
    assert result.rejected == rejected
    assert all(type(flag) is bool for flag in result.rejected)
    assert result.alpha == alpha


def benjamini_hochberg(p_values):
    m = len(p_values)
    order = sorted(range(m), key=lambda i: p_values[i])
    q = [(p_values[i] * m) / (k + 1) for k, i in enumerate(order)]
    q = [v if v < 1.0 else 1.0 for v in q]
    for k in range(m - 2, -1, -1):
        if q[k] > q[k + 1]:
            q[k] = q[k + 1]
    adjusted = [0.0] * m
    for k, i in enumerate(order):
        adjusted[i] = q[k]
    return adjusted


def _samples():
    rng = random.Random(20240607)
    yield "uniform", [rng.random() for _ in range(1000)]
    yield "few distinct values", [rng.choice([0.0, -0.0, 0.01, 0.2, 0.2000000000000001, 1.0]) for _ in range(2000)]
    # One wide gap puts almost everything into a single long run of equal rank keys.
    yield "tight cluster", [0.0, 1.0] + [0.5 + rng.random() * 1e-12 for _ in range(998)]
    yield "subnormals", [5e-324 * rng.randrange(50) for _ in range(300)]
    yield "just below one", [1.0 - rng.randrange(64) * 2.0**-53 for _ in range(300)]
    yield "small", [rng.random() for _ in range(7)]


@pytest.mark.parametrize("name, p_values", list(_samples()), ids=lambda v: v if isinstance(v, str) else "")
def test_benjamini_hochberg_matches_stable_rank_reference(name, p_values):
    result = mc.correct_p_values(p_values, 0.25, BH)
    expected = benjamini_hochberg(p_values)
    assert reprs(result.adjusted_p_values) == reprs(expected)
    assert result.rejected == [q <= 0.25 for q in expected]


@pytest.mark.parametrize("method", [BONF, BH])
@pytest.mark.parametrize(
    "p_values, alpha, message",
    [
        ([], 2.0, "p_values must not be empty"),
        ([], NAN, "p_values must not be empty"),
        ([0.5], 0.0, "alpha must be in (0.0, 1.0)"),
        ([0.5], 1.0, "alpha must be in (0.0, 1.0)"),
        ([0.5], NAN, "alpha must be in (0.0, 1.0)"),
        ([0.5], -0.05, "alpha must be in (0.0, 1.0)"),
        ([2.0, NAN], 1.5, "alpha must be in (0.0, 1.0)"),
        ([0.5, NAN], 0.05, "all p-values must be in [0.0, 1.0]"),
        ([0.5, -1e-300], 0.05, "all p-values must be in [0.0, 1.0]"),
        ([1.0000000000000002], 0.05, "all p-values must be in [0.0, 1.0]"),
        ([float("inf")], 0.05, "all p-values must be in [0.0, 1.0]"),
    ],
)
def test_errors_report_the_first_failed_check(p_values, alpha, message, method):
    with raises_exactly(ValueError, message):
        mc.correct_p_values(p_values, alpha, method)


@pytest.mark.parametrize(
    "args, exception, message",
    [
        (([0.01], 0.05, 0), TypeError, "argument 'method': 'int' object cannot be converted to 'CorrectionMethod'"),
        (
            ([0.01], 0.05, mc.Preference.PrefersA),
            TypeError,
            "argument 'method': 'Preference' object cannot be converted to 'CorrectionMethod'",
        ),
        (("0.01", 0.05, BONF), TypeError, "argument 'p_values': Can't extract `str` to `Vec`"),
        (({0.01}, 0.05, BONF), TypeError, "argument 'p_values': 'set' object cannot be converted to 'Sequence'"),
        # The first failing conversion wins, and conversion runs before any check.
        (("0.01", "x", 0), TypeError, "argument 'p_values': Can't extract `str` to `Vec`"),
        (([], 0.05, None), TypeError, "argument 'method': 'NoneType' object cannot be converted to 'CorrectionMethod'"),
        (([0.01],), TypeError, "correct_p_values() missing 2 required positional arguments: 'alpha' and 'method'"),
        ((), TypeError, "correct_p_values() missing 3 required positional arguments: 'p_values', 'alpha', and 'method'"),
        (([0.01], 0.05, BONF, 1), TypeError, "correct_p_values() takes 3 positional arguments but 4 were given"),
    ],
)
def test_conversion_and_binding_errors(args, exception, message):
    with raises_exactly(exception, message):
        mc.correct_p_values(*args)


@pytest.mark.parametrize(
    "args, exception, prefix",
    [
        (([0.01, "0.02"], 0.05, BONF), TypeError, "argument 'p_values': "),
        # alpha fails to convert before the empty list is looked at.
        (([], "x", 0), TypeError, "argument 'alpha': "),
        (([0.01], 2**2000, BONF), OverflowError, ""),
        (([0.01, 2**2000], 0.05, BONF), OverflowError, ""),
    ],
)
def test_interpreter_conversion_errors(args, exception, prefix):
    with pytest.raises(exception) as caught:
        mc.correct_p_values(*args)
    assert type(caught.value) is exception
    assert str(caught.value).startswith(prefix)
    assert str(caught.value).startswith("argument") == bool(prefix)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"alpha": 0.05, "method": BONF, "p": [0.1]}, "correct_p_values() got an unexpected keyword argument 'p'"),
        ({"p_values": [0.1], "method": BONF}, "correct_p_values() missing 1 required positional argument: 'alpha'"),
    ],
)
def test_keyword_binding_errors(kwargs, message):
    with pytest.raises(TypeError) as caught:
        mc.correct_p_values(**kwargs)
    assert str(caught.value) == message


def test_multiple_values_for_an_argument():
    with pytest.raises(TypeError) as caught:
        mc.correct_p_values([0.1], 0.05, BONF, p_values=[0.2])
    assert str(caught.value) == "correct_p_values() got multiple values for argument 'p_values'"


def test_arguments_by_keyword_in_any_order_and_any_sequence():
    by_keyword = mc.correct_p_values(method=BH, alpha=0.05, p_values=(0.01, 0.04, 0.03, 0.005))
    assert by_keyword.adjusted_p_values == [0.02, 0.04, 0.04, 0.02]
    assert mc.correct_p_values([True, False], 0.5, BONF).adjusted_p_values == [1.0, 0.0]


@pytest.mark.parametrize(
    "p_values, alpha, method, text",
    [
        (
            [0.01, 0.04, 0.03, 0.005],
            0.05,
            BONF,
            "CorrectionResult(adjusted_p_values=[0.04, 0.16, 0.12, 0.02], "
            "rejected=[true, false, false, true], alpha=0.05)",
        ),
        (
            [5e-6, 0.5],
            1e-7,
            BONF,
            "CorrectionResult(adjusted_p_values=[1e-5, 1.0], rejected=[false, false], alpha=0.0000001)",
        ),
        (
            [0.01, 0.02, 0.03, 0.04, 0.05],
            0.05,
            BH,
            "CorrectionResult(adjusted_p_values=[0.049999999999999996, 0.049999999999999996, "
            "0.049999999999999996, 0.05, 0.05], rejected=[true, true, true, true, true], alpha=0.05)",
        ),
        ([0.0, -0.0], 0.5, BONF, "CorrectionResult(adjusted_p_values=[0.0, -0.0], rejected=[true, true], alpha=0.5)"),
    ],
)
def test_repr(p_values, alpha, method, text):
    assert repr(mc.correct_p_values(p_values, alpha, method)) == text


def test_result_is_a_snapshot():
    p_values = [0.01, 0.04]
    result = mc.correct_p_values(p_values, 0.05, BONF)
    p_values[0] = 0.9
    adjusted = result.adjusted_p_values
    adjusted[0] = 123.0
    result.rejected.clear()
    assert result.adjusted_p_values == [0.02, 0.08]
    assert result.rejected == [True, False]
    assert result.alpha == 0.05
