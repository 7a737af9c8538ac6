import pydoc
import types

import pytest

import _mirabund_core as mc

MEMBERS = [
    "BootstrapResult",
    "block_bootstrap",
    "block_bootstrap_mean",
    "SequentialDecision",
    "SequentialUpdate",
    "SequentialTest",
    "CorrectionMethod",
    "CorrectionResult",
    "correct_p_values",
    "EffectMagnitude",
    "EffectSizeResult",
    "cohens_d",
    "Preference",
    "PairwiseDebiasResult",
    "debias_pairwise_judgment",
    "LengthBiasResult",
    "length_bias_correction",
]

FUNCTIONS = {
    "block_bootstrap": "(data, block_size, n_resamples, confidence_level, statistic, seed=None)",
    "block_bootstrap_mean": "(data, block_size, n_resamples, confidence_level, seed=None)",
    "correct_p_values": "(p_values, alpha, method)",
    "cohens_d": "(baseline, treatment)",
    "debias_pairwise_judgment": "(original_order, swapped_order)",
    "length_bias_correction": "(scores, lengths)",
}

# Docstring bodies; None stands for a line whose wording is free.
FUNCTION_DOCS = {
    "correct_p_values": [
        "Applies a multiple-comparisons correction to `p_values`.",
        "",
        "Use `CorrectionMethod.Bonferroni` for strict family-wise error",
        "control, or `CorrectionMethod.BenjaminiHochberg` for higher-power",
        "false-discovery-rate control when checking many metrics at once",
        "(the more realistic case for eval suites).",
    ],
    "cohens_d": [
        "Computes Cohen's d and Hedges' g for the difference between",
        "`treatment` and `baseline` sample means, using the pooled",
        "standard deviation. Positive values mean `treatment` scored",
        "higher than `baseline`; negative means lower.",
        "",
        "Prefer `hedges_g` over `cohens_d` when group sizes are small",
        "(roughly n < 20 per group) \u2014 Cohen's d systematically",
        "overestimates effect size in that regime.",
    ],
    "debias_pairwise_judgment": [
        "Debiases a single pairwise judgment by comparing two judgments of",
        "the same pair of responses, made with positions swapped. If the",
        "two judgments disagree, that disagreement is itself evidence of",
        "position bias, and the result is downgraded to a Tie rather than",
        "trusting either judgment.",
    ],
    "length_bias_correction": [
        "Fits an ordinary least squares regression of `scores` on",
        "`lengths` and returns length-adjusted (residualized) scores,",
        "correcting for the tendency of LLM judges to score longer",
        "responses higher independent of actual quality.",
    ],
    "block_bootstrap": [
        "Computes a block-bootstrap confidence interval using an arbitrary",
        "Python callable as the statistic.",
        "",
        "`statistic` is called once per resample as `statistic(list_of_floats)`",
        "and must return a single float. Exceptions raised inside",
        "`statistic`, or non-numeric return values, are caught and reported",
        "as a Python `ValueError` rather than crashing the process.",
        "",
        "Note on performance: this calls back into Python once per",
        "resample, which carries real overhead (GIL round-trip + list",
        "construction) compared to `block_bootstrap_mean`. For the common",
        "case of bootstrapping a mean, prefer `block_bootstrap_mean`, which",
        None,
    ],
    "block_bootstrap_mean": [
        "Computes a block-bootstrap confidence interval for the mean of",
        None,
        "overhead. Prefer this over `block_bootstrap` whenever the",
        "statistic of interest is a plain mean (the common case: mean",
        "accuracy, mean judge score).",
    ],
}

SEQUENTIAL_TEST_DOC = "\n".join(
    [
        "A stateful sequential hypothesis test (mixture SPRT). Feed it",
        "observations one at a time via `.update(x)`; stop collecting data",
        "as soon as a returned `SequentialUpdate.decision` is",
        "`SequentialDecision.RejectNull`.",
        "",
        "`alpha`: desired Type I error rate, e.g. 0.05.",
        "`tau`: prior standard deviation on the effect size under the",
        'alternative hypothesis \u2014 represents "the effect size worth',
        'detecting".',
    ]
)

CLASS_DOCS = {
    "BootstrapResult": "Python-visible result of a block bootstrap confidence interval\nestimation.",
    "SequentialDecision": "Decision returned after each observation fed into a\n`SequentialTest`.",
    "SequentialUpdate": "Result of feeding one new observation into a `SequentialTest`.",
    "SequentialTest": SEQUENTIAL_TEST_DOC,
    "CorrectionMethod": "Which multiple-comparisons correction method to apply.",
    "CorrectionResult": "Result of applying a multiple-comparisons correction to a set of\np-values.",
    "EffectMagnitude": "Qualitative interpretation bucket for a standardized effect size.",
    "EffectSizeResult": "Result of a Cohen's d / Hedges' g effect size computation.",
    "Preference": "A pairwise preference outcome between response A and response B.",
    "PairwiseDebiasResult": (
        "Result of debiasing one pairwise comparison judged twice, with\n"
        "response positions swapped between the two judgments."
    ),
    "LengthBiasResult": "Result of fitting a length-bias correction to judge scores.",
}

PROPERTIES = {
    "BootstrapResult": ["point_estimate", "ci_lower", "ci_upper", "confidence_level", "n_resamples"],
    "SequentialUpdate": ["n", "likelihood_ratio", "decision"],
    "SequentialTest": ["n", "current_mean", "variance_estimate"],
    "CorrectionResult": ["adjusted_p_values", "rejected", "alpha"],
    "EffectSizeResult": ["cohens_d", "hedges_g", "magnitude", "n_baseline", "n_treatment"],
    "PairwiseDebiasResult": ["preference", "position_bias_detected"],
    "LengthBiasResult": ["slope", "intercept", "correlation", "adjusted_scores"],
}

ENUMERATIONS = {
    "SequentialDecision": ["Continue", "RejectNull"],
    "CorrectionMethod": ["Bonferroni", "BenjaminiHochberg"],
    "EffectMagnitude": ["Negligible", "Small", "Medium", "Large"],
    "Preference": ["PrefersA", "PrefersB", "Tie"],
}

CLASSES = [name for name in MEMBERS if name[0].isupper()]
UNCONSTRUCTIBLE = [name for name in CLASSES if name != "SequentialTest"]
ENUM_MEMBERS = [(cls, name, value) for cls, names in ENUMERATIONS.items() for value, name in enumerate(names)]


def test_all_lists_the_members_in_registration_order():
    assert mc.__all__ == MEMBERS
    assert all(hasattr(mc, name) for name in MEMBERS)
    assert mc.__doc__ == ""


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_signature_and_docstring(name):
    function = getattr(mc, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__module__ == "_mirabund_core"
    assert function.__self__ is mc
    assert function.__text_signature__ == FUNCTIONS[name]
    lines = function.__doc__.split("\n")
    expected = FUNCTION_DOCS[name]
    assert len(lines) == len(expected)
    assert [line for line, want in zip(lines, expected) if want is not None] == [w for w in expected if w is not None]
    assert all(line for line, want in zip(lines, expected) if want is None)


def test_free_docstring_lines_say_what_they_must():
    assert mc.block_bootstrap_mean.__doc__.split("\n")[1].startswith("`data`.")


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(mc, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert cls.__doc__ == CLASS_DOCS[name]
    assert cls.__text_signature__ == ("(alpha, tau)" if name == "SequentialTest" else None)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", list(PROPERTIES))
def test_properties_in_declaration_order_with_empty_docs(name):
    descriptors = {k: v for k, v in vars(getattr(mc, name)).items() if isinstance(v, types.GetSetDescriptorType)}
    assert list(descriptors) == PROPERTIES[name]
    assert all(d.__doc__ == "" for d in descriptors.values())


def test_update_method_signature_and_doc():
    update = mc.SequentialTest.update
    assert update.__text_signature__ == "($self, x)"
    assert update.__doc__ == "Feed one new observation into the test and get back the\nupdated decision."


def test_help_shows_docstrings_and_signatures():
    text = pydoc.render_doc(mc, renderer=pydoc.plaintext)
    # Newer help wraps long signatures over several lines.
    unwrapped = " ".join(text.split()).replace("( ", "(").replace(" )", ")").replace(", ", ",")
    for name, signature in FUNCTIONS.items():
        assert name + signature.replace(", ", ",") in unwrapped
        assert FUNCTION_DOCS[name][0] in text
    for doc in CLASS_DOCS.values():
        assert doc.split("\n")[0] in text
    assert "SequentialTest(alpha, tau)" in text
    assert "update(self, /, x)" in text


@pytest.mark.parametrize("name", UNCONSTRUCTIBLE)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((0,), {"x": 1})])
def test_only_sequential_test_can_be_constructed(name, args, kwargs):
    with pytest.raises(TypeError) as caught:
        getattr(mc, name)(*args, **kwargs)
    assert str(caught.value) == f"No constructor defined for {name}"


@pytest.mark.parametrize("cls, name, value", ENUM_MEMBERS)
def test_enumeration_member(cls, name, value):
    member = getattr(getattr(mc, cls), name)
    assert type(member) is getattr(mc, cls)
    assert list(k for k, v in vars(type(member)).items() if type(v) is type(member)) == ENUMERATIONS[cls]
    assert member is getattr(getattr(mc, cls), name)
    assert int(member) == value and type(int(member)) is int
    assert repr(member) == str(member) == f"{cls}.{name}"
    assert member == value and not member != value
    assert member != value + 1 and not member == value + 1
    assert (member == bool(value)) is (value < 2)
    assert member != float(value)
    assert member != 2**100
    assert member != str(value)
    for other_name, other_value in zip(ENUMERATIONS[cls], range(4)):
        assert (member == getattr(getattr(mc, cls), other_name)) is (value == other_value)
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}
    with pytest.raises(TypeError):
        [10, 20, 30, 40][member]
    for compare in (lambda a, b: a < b, lambda a, b: a <= b, lambda a, b: a > b, lambda a, b: a >= b):
        with pytest.raises(TypeError):
            compare(member, member)
        with pytest.raises(TypeError):
            compare(member, value)


def test_members_of_different_enumerations_never_compare_equal():
    for left in ENUM_MEMBERS:
        for right in ENUM_MEMBERS:
            a = getattr(getattr(mc, left[0]), left[1])
            b = getattr(getattr(mc, right[0]), right[1])
            assert (a == b) is (left == right), (left, right)
            assert (a != b) is (left != right), (left, right)
    assert mc.Preference.PrefersA != mc.CorrectionMethod.Bonferroni


def _correction():
    return mc.correct_p_values([0.01, 0.04], 0.05, mc.CorrectionMethod.Bonferroni)


def _length_bias():
    return mc.length_bias_correction([1, 2, 3, 4], [10, 20, 30, 40])


def _debias():
    return mc.debias_pairwise_judgment(mc.Preference.PrefersA, mc.Preference.PrefersB)


def _update():
    test = mc.SequentialTest(0.05, 1.0)
    test.update(1.0)
    return test.update(2.0)


def _sequential_test():
    test = mc.SequentialTest(0.05, 1.0)
    for x in (1.0, 2.0, 4.0):
        test.update(x)
    return test


OBJECTS = {
    "CorrectionResult": _correction,
    "LengthBiasResult": _length_bias,
    "PairwiseDebiasResult": _debias,
    "SequentialUpdate": _update,
    "SequentialTest": _sequential_test,
}


@pytest.mark.parametrize("name", list(OBJECTS))
def test_properties_are_read_only_fresh_snapshots(name):
    obj = OBJECTS[name]()
    assert type(obj) is getattr(mc, name)
    for prop in PROPERTIES[name]:
        first, second = getattr(obj, prop), getattr(obj, prop)
        assert repr(first) == repr(second)
        if isinstance(first, list):
            assert first is not second
            first.append(0.5)
            first[0] = -1
            assert repr(getattr(obj, prop)) == repr(second)
        if type(first).__name__ in ENUMERATIONS:
            assert first is not second and first == second
        with pytest.raises(AttributeError):
            setattr(obj, prop, second)
        with pytest.raises(AttributeError):
            delattr(obj, prop)
        assert repr(getattr(obj, prop)) == repr(second)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")
    assert obj != OBJECTS[name]()
