"""Thousands of calls on every path leave reference counts and the heap where they were."""

import array
import ctypes
import gc
import math
import sys

import numpy as np
import pytest

import _mirabund_core as mc
from reference import UNDER_SANITIZER, Boom, library_mean, panic_class

ROUNDS = 200 if UNDER_SANITIZER else 3000
PANIC_ROUNDS = 50 if UNDER_SANITIZER else 300  # each panic writes to stderr


Panic = panic_class()


class Number:
    """An object that converts to a float or an index, or raises a fresh error."""

    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __float__(self):
        if self.error is not None:
            raise self.error("from __float__")
        return self.value

    def __index__(self):
        if self.error is not None:
            raise self.error("from __index__")
        return self.value


# Every watched object is a distinct, non-immortal object, so a reference the
# module keeps or drops once too often shows up in its count.
DATA = [float(i) * 1.5 + 0.25 for i in range(12)]
SCORES = [float(i % 5) + 0.5 for i in range(12)]
LENGTHS = [float(i * i) + 0.5 for i in range(12)]
P_VALUES = [0.001 * (i + 1) for i in range(12)]
LEVEL = float("0.9")
SEED = 2**40 + 7
BLOCK = Number(3)
ITEM = Number(2.5)
TEXT_ITEM = "not a number"
BAD_FLOAT = Number(error=Boom)
TYPE_FLOAT = Number(error=TypeError)
TYPE_INDEX = Number(error=TypeError)
NEGATIVE = -(2**70)
HUGE_COUNT = 2**62
STRANGER = object()
WITH_ITEM = DATA + [ITEM]
WITH_TEXT = DATA + [TEXT_ITEM]
WITH_BAD = DATA + [BAD_FLOAT]
WITH_NAN = DATA + [math.nan]
NUMPY = np.array(DATA)
BUFFER = array.array("d", DATA)
VIEW = memoryview(BUFFER)[::2]
RETURNED = Number(7.5)
UNCONVERTIBLE = Number(error=Boom)
WIDE = 2**100
TEST = mc.SequentialTest(0.05, 1.0)
X = float("1.25")
ALPHA = float("0.05")
TAU = float("2.0")
RESULTS = {
    "bootstrap": mc.block_bootstrap_mean(DATA, 3, 20, LEVEL, seed=SEED),
    "correction": mc.correct_p_values(P_VALUES, ALPHA, mc.CorrectionMethod.BenjaminiHochberg),
    "effect_size": mc.cohens_d(DATA, SCORES),
    "length_bias": mc.length_bias_correction(SCORES, LENGTHS),
    "pairwise": mc.debias_pairwise_judgment(mc.Preference.PrefersA, mc.Preference.Tie),
    "update": mc.SequentialTest(0.05, 1.0).update(2.0),
    "test": TEST,
    "fresh test": mc.SequentialTest(0.05, 1.0),  # no variance yet
}


def _raise_boom(values):
    raise Boom("statistic failed")


def _raise_panic(values):
    raise Panic("raised by the statistic")


def _return_returned(values):
    return RETURNED


def _return_unconvertible(values):
    return UNCONVERTIBLE


class _Reentrant:
    """An observation whose conversion tries to update the same test again."""

    def __float__(self):
        TEST.update(1.0)
        return 1.0


REENTRANT = _Reentrant()

BONF, BH = mc.CorrectionMethod.Bonferroni, mc.CorrectionMethod.BenjaminiHochberg

# (name, call, watched objects, exception the call raises or None, rounds)
CASES = [
    # block_bootstrap_mean
    ("mean ok", lambda: mc.block_bootstrap_mean(DATA, BLOCK, 20, LEVEL, seed=SEED),
     (DATA, *DATA, BLOCK, LEVEL, SEED), None),
    ("mean ok from conversions", lambda: mc.block_bootstrap_mean(WITH_ITEM, 2, 5, LEVEL),
     (WITH_ITEM, ITEM), None),
    ("mean ok from numpy", lambda: mc.block_bootstrap_mean(NUMPY, 2, 5, LEVEL, seed=SEED), (NUMPY,), None),
    ("mean ok from a view", lambda: mc.block_bootstrap_mean(VIEW, 2, 5, LEVEL, seed=SEED), (VIEW, BUFFER), None),
    ("mean library error", lambda: mc.block_bootstrap_mean(DATA, 0, 20, LEVEL), (DATA, LEVEL), ValueError),
    ("mean bad item", lambda: mc.block_bootstrap_mean(WITH_TEXT, 3, 20, LEVEL), (WITH_TEXT, TEXT_ITEM), TypeError),
    ("mean raising item", lambda: mc.block_bootstrap_mean(WITH_BAD, 3, 20, LEVEL), (WITH_BAD, BAD_FLOAT), Boom),
    ("mean raising index", lambda: mc.block_bootstrap_mean(DATA, TYPE_INDEX, 20, LEVEL), (DATA, TYPE_INDEX),
     TypeError),
    ("mean overflowing seed", lambda: mc.block_bootstrap_mean(DATA, 3, 20, LEVEL, seed=NEGATIVE),
     (DATA, NEGATIVE), OverflowError),
    ("mean memory", lambda: mc.block_bootstrap_mean(DATA, 3, HUGE_COUNT, LEVEL, seed=SEED),
     (DATA, HUGE_COUNT, SEED), MemoryError),
    ("mean binding", lambda: mc.block_bootstrap_mean(DATA, 3, 20, LEVEL, seeds=SEED), (DATA, SEED), TypeError),
    ("mean panic", lambda: mc.block_bootstrap_mean(WITH_NAN, 3, 2, LEVEL, seed=SEED), (WITH_NAN, SEED), Panic),
    # block_bootstrap
    ("callable ok", lambda: mc.block_bootstrap(DATA, 3, 20, LEVEL, library_mean, seed=SEED),
     (DATA, library_mean, SEED), None),
    ("callable returns an object", lambda: mc.block_bootstrap(DATA, 3, 20, LEVEL, _return_returned),
     (_return_returned, RETURNED), None),
    ("callable raises", lambda: mc.block_bootstrap(DATA, 3, 20, LEVEL, _raise_boom), (DATA, _raise_boom),
     ValueError),
    ("callable returns a non-float", lambda: mc.block_bootstrap(DATA, 3, 20, LEVEL, _return_unconvertible),
     (_return_unconvertible, UNCONVERTIBLE), ValueError),
    ("not callable", lambda: mc.block_bootstrap(DATA, 3, 20, LEVEL, STRANGER), (DATA, STRANGER), ValueError),
    ("callable engine error", lambda: mc.block_bootstrap(DATA, 0, 20, LEVEL, library_mean),
     (DATA, library_mean), ValueError),
    ("callable memory", lambda: mc.block_bootstrap(DATA, 3, HUGE_COUNT, LEVEL, library_mean),
     (DATA, library_mean, HUGE_COUNT), MemoryError),
    ("callable panics", lambda: mc.block_bootstrap(DATA, 3, 20, LEVEL, _raise_panic), (DATA, _raise_panic), Panic),
    # correct_p_values
    ("correction bonferroni", lambda: mc.correct_p_values(P_VALUES, ALPHA, BONF), (P_VALUES, *P_VALUES, ALPHA), None),
    ("correction bh", lambda: mc.correct_p_values(P_VALUES, ALPHA, BH), (P_VALUES, *P_VALUES, ALPHA), None),
    ("correction empty", lambda: mc.correct_p_values([], ALPHA, BH), (ALPHA,), ValueError),
    ("correction alpha", lambda: mc.correct_p_values(P_VALUES, LEVEL * 2, BH), (P_VALUES,), ValueError),
    ("correction range", lambda: mc.correct_p_values(DATA, ALPHA, BONF), (DATA, ALPHA), ValueError),
    ("correction method", lambda: mc.correct_p_values(P_VALUES, ALPHA, WIDE), (P_VALUES, WIDE), TypeError),
    # cohens_d
    ("effect size ok", lambda: mc.cohens_d(DATA, WITH_ITEM), (DATA, WITH_ITEM, ITEM), None),
    ("effect size too few", lambda: mc.cohens_d([X], DATA), (X, DATA), ValueError),
    ("effect size no spread", lambda: mc.cohens_d([X, X], [X, X]), (X,), ValueError),
    ("effect size bad treatment", lambda: mc.cohens_d(DATA, STRANGER), (DATA, STRANGER), TypeError),
    ("effect size raising item", lambda: mc.cohens_d(DATA, WITH_BAD), (DATA, WITH_BAD, BAD_FLOAT), Boom),
    # length_bias_correction
    ("length bias ok", lambda: mc.length_bias_correction(SCORES, LENGTHS), (SCORES, LENGTHS), None),
    ("length bias mismatch", lambda: mc.length_bias_correction(SCORES, DATA[:3]), (SCORES,), ValueError),
    ("length bias too few", lambda: mc.length_bias_correction([X, X], [X, X]), (X,), ValueError),
    ("length bias identical", lambda: mc.length_bias_correction(SCORES, [X] * 12), (SCORES, X), ValueError),
    ("length bias bad lengths", lambda: mc.length_bias_correction(SCORES, WITH_TEXT), (SCORES, WITH_TEXT),
     TypeError),
    ("length bias prefixed", lambda: mc.length_bias_correction(SCORES, [TYPE_FLOAT] * 12),
     (SCORES, TYPE_FLOAT), TypeError),
    # debias_pairwise_judgment
    ("pairwise ok", lambda: mc.debias_pairwise_judgment(mc.Preference.PrefersB, mc.Preference.Tie), (), None),
    ("pairwise wrong type", lambda: mc.debias_pairwise_judgment(mc.Preference.Tie, STRANGER), (STRANGER,),
     TypeError),
    ("pairwise other enumeration", lambda: mc.debias_pairwise_judgment(BONF, mc.Preference.Tie), (BONF,), TypeError),
    # SequentialTest
    ("sequential new", lambda: mc.SequentialTest(ALPHA, TAU), (ALPHA, TAU), None),
    ("sequential new invalid", lambda: mc.SequentialTest(LEVEL * 2, TAU), (TAU,), ValueError),
    ("sequential new bad tau", lambda: mc.SequentialTest(ALPHA, STRANGER), (ALPHA, STRANGER), TypeError),
    ("update ok", lambda: TEST.update(X), (TEST, X), None),
    ("update conversion", lambda: TEST.update(ITEM), (TEST, ITEM), None),
    ("update bad x", lambda: TEST.update(TEXT_ITEM), (TEST, TEXT_ITEM), TypeError),
    ("update raising x", lambda: TEST.update(BAD_FLOAT), (TEST, BAD_FLOAT), Boom),
    ("update re-entered", lambda: TEST.update(REENTRANT), (TEST, REENTRANT), RuntimeError),
    ("update binding", lambda: TEST.update(X, x=X), (TEST, X), TypeError),
    # value classes
    ("no constructor", lambda: mc.BootstrapResult(STRANGER), (STRANGER,), TypeError),
    ("enum equal", lambda: mc.Preference.Tie == mc.Preference.Tie, (), None),
    ("enum against int", lambda: mc.EffectMagnitude.Large == BLOCK, (BLOCK,), None),
    ("enum against wide int", lambda: mc.EffectMagnitude.Large != WIDE, (WIDE,), None),
    ("enum against raising index", lambda: mc.EffectMagnitude.Large == TYPE_INDEX, (TYPE_INDEX,), None),
    ("enum against object", lambda: mc.Preference.Tie == STRANGER, (STRANGER,), None),
    ("enum ordering", lambda: mc.Preference.Tie < mc.Preference.PrefersA, (), TypeError),
    ("enum hash", lambda: hash(mc.SequentialDecision.Continue), (), TypeError),
    ("enum int and repr", lambda: (int(mc.CorrectionMethod.Bonferroni), repr(BH)), (), None),
]
for _name, _result in RESULTS.items():
    _props = [k for k, v in vars(type(_result)).items() if type(v).__name__ == "getset_descriptor"]
    CASES.append((f"{_name} reads", lambda r=_result, p=_props: [getattr(r, n) for n in p], (_result,), None))
    CASES.append((f"{_name} repr", lambda r=_result: repr(r), (_result,), None))
    for _member in ([getattr(_result, n) for n in _props if type(getattr(_result, n)).__name__ in
                     ("EffectMagnitude", "Preference", "SequentialDecision")]):
        CASES.append((f"{_name} member", lambda m=_member: (repr(m), int(m), m == m), (_member,), None))


def _malloc_in_use():
    """Bytes the C allocator has handed out (glibc), or None where unknown."""
    if UNDER_SANITIZER:
        return None
    try:
        info = _libc.mallinfo2()
    except (AttributeError, OSError):
        return None
    return info.uordblks + info.hblkhd


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
        "keepcost")]


try:
    _libc = ctypes.CDLL(None)
    _libc.mallinfo2.restype = _Mallinfo2
except (AttributeError, OSError):
    _libc = None


def _run(call, raises, rounds):
    for _ in range(rounds):
        try:
            call()
        except BaseException as error:  # noqa: B036
            if raises is None or type(error) is not raises:
                raise


@pytest.mark.parametrize("name, call, watched, raises", CASES, ids=[c[0] for c in CASES])
def test_repeated_calls_leak_nothing(name, call, watched, raises, capfd):
    # The case must really take the path it names.
    if raises is None:
        call()
    else:
        with pytest.raises(raises):
            call()
    rounds = PANIC_ROUNDS if raises is Panic else ROUNDS
    _run(call, raises, rounds // 10)  # warm caches and free lists
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    blocks, heap = sys.getallocatedblocks(), _malloc_in_use()
    _run(call, raises, rounds)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    if not UNDER_SANITIZER:  # the sanitizer run bypasses the interpreter's allocator
        # The interpreter's caches (and a panic report's traceback printing
        # most of all) grow a little now and then, by tens of blocks that do
        # not scale with the calls; a leak of one object in ten calls would
        # still exceed the slack.
        slack = rounds // 2 if raises is Panic else rounds // 10
        assert sys.getallocatedblocks() - blocks < slack
        if heap is not None:
            # A leak of even a few bytes per call would exceed this.
            assert _malloc_in_use() - heap < rounds * 4
    capfd.readouterr()  # drop the panic reports


def test_buffers_are_released():
    # A buffer still exported would make the array refuse to resize.
    local = array.array("d", DATA)
    view = memoryview(local)
    for _ in range(ROUNDS // 10):
        mc.cohens_d(local, DATA)
        mc.block_bootstrap_mean(view, 2, 3, LEVEL, seed=1)
    view.release()
    local.append(1.0)
    assert len(local) == len(DATA) + 1
