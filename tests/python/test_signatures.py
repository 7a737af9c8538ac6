import inspect

import pytest

import _mirabund_core as mc

REQUIRED = inspect.Parameter.empty
KIND = inspect.Parameter.POSITIONAL_OR_KEYWORD

# Parameters as (name, default); every one is positional-or-keyword.
SIGNATURES = {
    "block_bootstrap": [("data", REQUIRED), ("block_size", REQUIRED), ("n_resamples", REQUIRED),
                        ("confidence_level", REQUIRED), ("statistic", REQUIRED), ("seed", None)],
    "block_bootstrap_mean": [("data", REQUIRED), ("block_size", REQUIRED), ("n_resamples", REQUIRED),
                             ("confidence_level", REQUIRED), ("seed", None)],
    "correct_p_values": [("p_values", REQUIRED), ("alpha", REQUIRED), ("method", REQUIRED)],
    "cohens_d": [("baseline", REQUIRED), ("treatment", REQUIRED)],
    "debias_pairwise_judgment": [("original_order", REQUIRED), ("swapped_order", REQUIRED)],
    "length_bias_correction": [("scores", REQUIRED), ("lengths", REQUIRED)],
    "SequentialTest": [("alpha", REQUIRED), ("tau", REQUIRED)],
}


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signature(name):
    parameters = inspect.signature(getattr(mc, name)).parameters.values()
    assert [(p.name, p.kind, p.default) for p in parameters] == [(n, KIND, d) for n, d in SIGNATURES[name]]


def test_update_signature():
    parameters = inspect.signature(mc.SequentialTest.update).parameters.values()
    assert [(p.name, p.kind, p.default) for p in parameters] == [
        ("self", inspect.Parameter.POSITIONAL_ONLY, REQUIRED), ("x", KIND, REQUIRED)]
    bound = mc.SequentialTest(0.05, 1.0).update
    assert str(inspect.signature(bound)) == "(x)"
    assert bound(x=0.5).n == 1
