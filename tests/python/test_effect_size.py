"""cohens_d, EffectSizeResult and EffectMagnitude."""

import math

import pytest
from reference import bits, raises_exactly

INSUFFICIENT = "each group must have at least 2 observations"
ZERO_SPREAD = "pooled standard deviation is zero - groups have no variance, effect size is undefined"
NAN, INF = math.nan, math.inf

# {0, x} against itself has a pooled deviation of exactly 1e-12 at this x.
SPREAD_AT_THRESHOLD = float.fromhex("0x1.8e10d3a69204cp-40")


@pytest.mark.parametrize("baseline, treatment, d, g, magnitude", [
    ([1, 2, 3], [2, 3, 4], 1.0, 0.8, "Large"),
    ([2, 3, 4], [1, 2, 3], -1.0, -0.8, "Large"),
    # Summing first to last and dividing by n; any other order moves d by an ulp.
    ([0.1, 0.2, 0.3], [0.0, 1.0], float.fromhex("0x1.70ef6d9ddaf92p-1"),
     float.fromhex("0x1.0c5109e72ae3cp-1"), "Medium"),
    # J = 1 - 3/71, which (4 df - 4)/(4 df - 1) misses by an ulp.
    ([-1, 1], [1.0] * 18, 3.0, float.fromhex("0x1.6fc64f52edf8dp+1"), "Large"),
    # Sums start from -0.0, so an all-negative-zero group has mean -0.0.
    ([1, -1], [-0.0, -0.0], -0.0, -0.0, "Negligible"),
])
def test_exact_values(core, baseline, treatment, d, g, magnitude):
    r = core.cohens_d(baseline, treatment)
    assert (bits(r.cohens_d), bits(r.hedges_g)) == (bits(d), bits(g))
    assert r.magnitude == getattr(core.EffectMagnitude, magnitude)
    assert (r.n_baseline, r.n_treatment) == (len(baseline), len(treatment))


@pytest.mark.parametrize("baseline, treatment, d, g, magnitude", [
    ([0, 1, 2, 3], [0.5, 1.5, 2.5, 3.5], 0.387298, 0.336781, "Small"),
    ([1, 2], [3, 4], 2.828427, 1.616244, "Large"),
])
def test_approximate_values(core, baseline, treatment, d, g, magnitude):
    r = core.cohens_d(baseline, treatment)
    assert r.cohens_d == pytest.approx(d, abs=1e-6)
    assert r.hedges_g == pytest.approx(g, abs=1e-6)
    assert r.magnitude == getattr(core.EffectMagnitude, magnitude)


def test_repr_example(core):
    assert repr(core.cohens_d([1, 2, 3], [2, 3, 4])) == (
        "EffectSizeResult(cohens_d=1.000000, hedges_g=0.800000, n_baseline=3, n_treatment=3)")


# {-1, 1} against {c, c} has mean difference c and pooled deviation exactly 1,
# so d is c itself; hedges_g is J * c with J = 4/7.
@pytest.mark.parametrize("c, d_text", [
    (0.0078125, "0.007812"),   # exact tie: to the even digit
    (0.0234375, "0.023438"),
    (2.5e-5, "0.000025"),
    (-0.0, "-0.000000"),
    (-1e-7, "-0.000000"),
    (1e300, f"{1e300:.6f}"),
    (NAN, "NaN"),
    (INF, "NaN"),              # inf - inf inside the deviations
])
def test_repr_renders_six_decimals(core, c, d_text):
    r = core.cohens_d([-1.0, 1.0], [c, c])
    g_text = "NaN" if math.isnan(r.hedges_g) else f"{r.hedges_g:.6f}"
    assert repr(r) == f"EffectSizeResult(cohens_d={d_text}, hedges_g={g_text}, n_baseline=2, n_treatment=2)"


def test_repr_of_infinite_d(core):
    # Finite inputs, a spread just above the threshold and a huge difference.
    r = core.cohens_d([0.0, 4e-12], [1e300, 1e300])
    assert (r.cohens_d, r.hedges_g) == (INF, INF)
    assert r.magnitude == core.EffectMagnitude.Large
    assert repr(r) == "EffectSizeResult(cohens_d=inf, hedges_g=inf, n_baseline=2, n_treatment=2)"
    r = core.cohens_d([1e300, 1e300], [0.0, 4e-12])
    assert repr(r).startswith("EffectSizeResult(cohens_d=-inf, hedges_g=-inf,")


@pytest.mark.parametrize("baseline, treatment", [
    ([], []), ([], [1, 2, 3]), ([1, 2, 3], []), ([1], [1, 2]), ([1, 2], [7]), ([5], [6]),
    ([1], [2, 2]),          # too few wins over no spread
    ([NAN], [1, 2]),
])
def test_too_few_observations(core, baseline, treatment):
    with raises_exactly(ValueError, INSUFFICIENT) as info:
        core.cohens_d(baseline, treatment)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("baseline, treatment", [
    ([1, 1, 1], [2, 2, 2]),
    ([5.0, 5.0], [-3.0, -3.0, -3.0, -3.0]),
    ([0.0, SPREAD_AT_THRESHOLD], [0.0, SPREAD_AT_THRESHOLD]),
    ([0.0, 1e-13], [7.0, 7.0 + 1e-13]),
])
def test_no_spread(core, baseline, treatment):
    with pytest.raises(ValueError) as info:
        core.cohens_d(baseline, treatment)
    assert info.value.args == (ZERO_SPREAD,)


def test_spread_just_above_threshold(core):
    x = math.nextafter(SPREAD_AT_THRESHOLD, 1.0)
    r = core.cohens_d([0.0, x], [0.0, x])
    assert r.cohens_d == 0.0 and r.magnitude == core.EffectMagnitude.Negligible


@pytest.mark.parametrize("bad", [[NAN, 1.0], [1.0, 2.0, NAN], [INF, 1.0], [-INF, 1.0],
                                 [INF, INF], [NAN, NAN]])
@pytest.mark.parametrize("position", ["baseline", "treatment"])
def test_non_finite_values_flow_through(core, bad, position):
    kwargs = {"baseline": [1.0, 2.0, 4.0], "treatment": [0.5, 3.0], position: bad}
    r = core.cohens_d(**kwargs)
    assert math.isnan(r.cohens_d) and math.isnan(r.hedges_g)
    assert r.magnitude == core.EffectMagnitude.Large


@pytest.mark.parametrize("d, magnitude", [
    (0.0, "Negligible"),
    (math.nextafter(0.2, 0.0), "Negligible"),
    (0.2, "Small"),
    (math.nextafter(0.5, 0.0), "Small"),
    (0.5, "Medium"),
    (math.nextafter(0.8, 0.0), "Medium"),
    (0.8, "Large"),
    (1e300, "Large"),
])
@pytest.mark.parametrize("sign", [1.0, -1.0])
def test_magnitude_bounds(core, d, magnitude, sign):
    # hedges_g is well below d here: the bucket must follow d.
    r = core.cohens_d([-1.0, 1.0], [sign * d, sign * d])
    assert bits(r.cohens_d) == bits(sign * d)
    assert r.magnitude == getattr(core.EffectMagnitude, magnitude)
    assert int(r.magnitude) == ["Negligible", "Small", "Medium", "Large"].index(magnitude)


def test_unequal_sizes_and_counts(core):
    r = core.cohens_d([1.0, 2.0], [float(i) for i in range(300)])
    assert (r.n_baseline, r.n_treatment) == (2, 300)
    assert type(r.n_treatment) is int


def test_arguments_are_left_untouched(core):
    baseline, treatment = [3.0, 1.0, 2.0], (2.0, 4.0, 3.0)
    r = core.cohens_d(baseline, treatment)
    assert baseline == [3.0, 1.0, 2.0]
    baseline.append(100.0)
    assert r.cohens_d == 1.0 and r.n_baseline == 3



def test_the_package_buckets_effects_as_the_engine_does(core):
    import math

    from mirabund import Magnitude

    names = [Magnitude.NEGLIGIBLE, Magnitude.SMALL, Magnitude.MEDIUM, Magnitude.LARGE]  # by the engine's codes
    for shift in (0.0, 0.1, 0.2, 0.35, 0.5, 0.65, 0.8, 3.0, math.nan):
        for signed in (shift, -shift):
            r = core.cohens_d([-1.0, 0.0, 1.0], [signed - 1.0, signed, signed + 1.0])
            assert Magnitude.of(r.cohens_d) is names[int(r.magnitude)], signed
    # A bound belongs to the larger magnitude.
    assert [Magnitude.of(d) for d in (math.nextafter(0.2, 0), 0.2, math.nextafter(0.8, 0), -0.8)] == \
        [Magnitude.NEGLIGIBLE, Magnitude.SMALL, Magnitude.MEDIUM, Magnitude.LARGE]
