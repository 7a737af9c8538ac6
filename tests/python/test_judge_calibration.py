import itertools

import pytest

import _mirabund_core as mc
from reference import bits, raises_exactly

P = mc.Preference
NAN = float("nan")


@pytest.mark.parametrize(
    "scores, lengths, slope, intercept, correlation, adjusted",
    [
        ([1, 2, 3, 4], [10, 20, 30, 40], 0.1, 0.0, 0.9999999999999999, [2.5] * 4),
        (
            [3, 1, 4, 1, 5],
            [100, 200, 300, 400, 500],
            0.004,
            1.5999999999999999,
            0.35355339059327373,
            [3.8, 1.4, 4.0, 0.5999999999999996, 4.2],
        ),
        ([2, 2, 2], [1, 2, 3], 0.0, 2.0, 0.0, [2.0] * 3),
        # The means start from -0.0: all-negative-zero scores keep their sign.
        ([-0.0] * 3, [1, 2, 3], 0.0, -0.0, 0.0, [-0.0] * 3),
        # The deviation sums start from +0.0: a run of -0.0 products sums to +0.0.
        ([0.0, -0.0, -0.0], [1, 2, 3], 0.0, 0.0, 0.0, [0.0] * 3),
        ([1, 2, 3], [1, NAN, 3], NAN, NAN, NAN, [NAN] * 3),
        ([1, NAN, 3], [1, 2, 3], NAN, NAN, NAN, [NAN] * 3),
        # A barely-spread length set clears the floor.
        ([1, 2, 3], [0.0, 0.0, 2e-6], 750000.0, 1.5, 0.8660254037844384, [1.5, 2.5, 2.0]),
    ],
)
def test_length_bias_fit_to_the_last_bit(scores, lengths, slope, intercept, correlation, adjusted):
    result = mc.length_bias_correction(scores, lengths)
    assert bits((result.slope, result.intercept, result.correlation)) == bits((slope, intercept, correlation))
    assert bits(result.adjusted_scores) == bits(adjusted)


@pytest.mark.parametrize(
    "scores, lengths, text",
    [
        (
            [1, 2, 3, 4],
            [10, 20, 30, 40],
            "LengthBiasResult(slope=0.100000, intercept=0.000000, correlation=1.000000, "
            "adjusted_scores=[2.5, 2.5, 2.5, 2.5])",
        ),
        (
            [3, 1, 4, 1, 5],
            [100, 200, 300, 400, 500],
            "LengthBiasResult(slope=0.004000, intercept=1.600000, correlation=0.353553, "
            "adjusted_scores=[3.8, 1.4, 4.0, 0.5999999999999996, 4.2])",
        ),
        (
            [-0.0] * 3,
            [1, 2, 3],
            "LengthBiasResult(slope=0.000000, intercept=-0.000000, correlation=0.000000, "
            "adjusted_scores=[-0.0, -0.0, -0.0])",
        ),
        (
            [1, 2, 3],
            [1, NAN, 3],
            "LengthBiasResult(slope=NaN, intercept=NaN, correlation=NaN, adjusted_scores=[NaN, NaN, NaN])",
        ),
        (
            [0, 0, 3e16],
            [1, 2, 3],
            "LengthBiasResult(slope=15000000000000000.000000, intercept=-20000000000000000.000000, "
            "correlation=0.866025, adjusted_scores=[1.5e16, 0.0, 1.5e16])",
        ),
        (
            [1e-5, 2e-5, 4e-5],
            [1, 2, 3],
            "LengthBiasResult(slope=0.000015, intercept=-0.000007, correlation=0.981981, "
            "adjusted_scores=[2.5000000000000005e-5, 2e-5, 2.4999999999999998e-5])",
        ),
    ],
)
def test_length_bias_repr(scores, lengths, text):
    assert repr(mc.length_bias_correction(scores, lengths)) == text


@pytest.mark.parametrize(
    "scores, lengths, message",
    [
        ([1, 2, 3], [1, 2], "scores and lengths must have the same number of elements"),
        ([1, 2], [5], "scores and lengths must have the same number of elements"),
        ([], [5, 5, 5], "scores and lengths must have the same number of elements"),
        ([1, 2], [1, 2], "need at least 3 (score, length) pairs to fit a regression"),
        ([], [], "need at least 3 (score, length) pairs to fit a regression"),
        ([1, 2], [5, 5], "need at least 3 (score, length) pairs to fit a regression"),
        ([1, 2, 3], [5, 5, 5], "all lengths are identical \u2014 length effect cannot be estimated"),
        # Squared deviations summing to about 6.7e-13: not identical, but no usable spread.
        ([1, 2, 3], [0.0, 0.0, 1e-6], "all lengths are identical \u2014 length effect cannot be estimated"),
    ],
)
def test_length_bias_errors_in_order(scores, lengths, message):
    with raises_exactly(ValueError, message):
        mc.length_bias_correction(scores, lengths)


def test_identical_lengths_message_bytes():
    with pytest.raises(ValueError) as caught:
        mc.length_bias_correction([1, 2, 3], [5, 5, 5])
    assert str(caught.value).encode() == (
        b"all lengths are identical \xe2\x80\x94 length effect cannot be estimated"
    )


@pytest.mark.parametrize(
    "scores, lengths, message",
    [
        ("abc", [1, 2, 3], "argument 'scores': Can't extract `str` to `Vec`"),
        ([1, 2, 3], {1, 2, 3}, "argument 'lengths': 'set' object cannot be converted to 'Sequence'"),
        ("abc", {1}, "argument 'scores': Can't extract `str` to `Vec`"),
        # Conversion comes before the library's checks.
        ([1], "x", "argument 'lengths': Can't extract `str` to `Vec`"),
        ((x for x in [1, 2, 3]), [1, 2, 3], "argument 'scores': 'generator' object cannot be converted to 'Sequence'"),
    ],
)
def test_length_bias_conversion_errors(scores, lengths, message):
    with pytest.raises(TypeError) as caught:
        mc.length_bias_correction(scores, lengths)
    assert str(caught.value) == message


def test_length_bias_keywords_and_sequences():
    result = mc.length_bias_correction(lengths=range(10, 50, 10), scores=(1, 2, 3, 4))
    assert result.adjusted_scores == [2.5] * 4
    with pytest.raises(TypeError) as caught:
        mc.length_bias_correction([1, 2, 3])
    assert str(caught.value) == "length_bias_correction() missing 1 required positional argument: 'lengths'"


DEBIAS_TABLE = [
    (P.PrefersA, P.PrefersA, P.PrefersA, False),
    (P.PrefersA, P.PrefersB, P.Tie, True),
    (P.PrefersA, P.Tie, P.Tie, True),
    (P.PrefersB, P.PrefersA, P.Tie, True),
    (P.PrefersB, P.PrefersB, P.PrefersB, False),
    (P.PrefersB, P.Tie, P.Tie, True),
    (P.Tie, P.PrefersA, P.Tie, True),
    (P.Tie, P.PrefersB, P.Tie, True),
    (P.Tie, P.Tie, P.Tie, False),
]
NAMES = {0: "PrefersA", 1: "PrefersB", 2: "Tie"}


@pytest.mark.parametrize("original, swapped, preference, biased", DEBIAS_TABLE)
def test_debias_table(original, swapped, preference, biased):
    result = mc.debias_pairwise_judgment(original, swapped)
    assert type(result.preference) is P
    assert result.preference == preference
    assert int(result.preference) == int(preference)
    assert result.position_bias_detected is biased
    assert repr(result) == (
        f'PairwiseDebiasResult(preference="{NAMES[int(preference)]}", '
        f"position_bias_detected={'true' if biased else 'false'})"
    )


def test_debias_by_keyword():
    result = mc.debias_pairwise_judgment(swapped_order=P.PrefersB, original_order=P.PrefersB)
    assert repr(result) == 'PairwiseDebiasResult(preference="PrefersB", position_bias_detected=false)'
    assert int(mc.debias_pairwise_judgment(P.PrefersA, P.PrefersB).preference) == 2


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 5), "argument 'original_order': 'int' object cannot be converted to 'Preference'"),
        ((P.Tie, 2), "argument 'swapped_order': 'int' object cannot be converted to 'Preference'"),
        (
            (P.Tie, mc.CorrectionMethod.Bonferroni),
            "argument 'swapped_order': 'CorrectionMethod' object cannot be converted to 'Preference'",
        ),
        ((True, P.Tie), "argument 'original_order': 'bool' object cannot be converted to 'Preference'"),
        ((P.Tie,), "debias_pairwise_judgment() missing 1 required positional argument: 'swapped_order'"),
        ((P.Tie, P.Tie, P.Tie), "debias_pairwise_judgment() takes 2 positional arguments but 3 were given"),
    ],
)
def test_debias_argument_errors(args, message):
    with raises_exactly(TypeError, message):
        mc.debias_pairwise_judgment(*args)


def test_debias_result_does_not_share_members():
    result = mc.debias_pairwise_judgment(P.Tie, P.Tie)
    reads = [result.preference for _ in range(2)]
    assert all(r == P.Tie and r is not P.Tie for r in reads)
    assert reads[0] is not reads[1]
    assert not any(a is b for a, b in itertools.combinations(reads + [P.Tie], 2))
