import math
import random
import re
import subprocess
import sys
import time

import pytest

import _mirabund_core as mc
from reference import UNDER_SANITIZER, Index, bits, library_mean, panic_class

TEN = [float(i) for i in range(1, 11)]
FIELDS = ("point_estimate", "ci_lower", "ci_upper", "confidence_level", "n_resamples")
FAILED = "statistic function failed: "
RAISED = FAILED + "statistic callable raised an exception: "
NON_FLOAT = FAILED + "statistic callable returned a non-float value: "


class Recorder:
    def __init__(self, statistic=library_mean):
        self.calls = []
        self.statistic = statistic

    def __call__(self, values):
        self.calls.append(values)
        return self.statistic(values)


def interpreter_text(action):
    try:
        action()
    except Exception as e:
        return f"{type(e).__qualname__}: {e}"
    raise AssertionError("action did not raise")


# --- Traced runs and agreement of the two functions -------------------------


@pytest.mark.parametrize(
    "seed, lower, upper, means",
    [
        (42, "3.400000", "7.000000", [6.0, 5.2, 5.6, 3.4, 7.0]),
        (0, "5.900000", "7.600000", [5.9, 6.7, 6.7, 7.6, 7.2]),
    ],
)
def test_traced_runs(seed, lower, upper, means):
    result = mc.block_bootstrap_mean(list(TEN), 3, 5, 0.8, seed=seed)
    assert repr(result) == (
        f"BootstrapResult(point_estimate=5.500000, ci_lower={lower}, ci_upper={upper}, "
        "confidence_level=0.8, n_resamples=5)"
    )
    recorder = Recorder()
    assert bits(mc.block_bootstrap(TEN, 3, 5, 0.8, recorder, seed=seed)) == bits(result)
    assert recorder.calls[0] == TEN
    assert [library_mean(c) for c in recorder.calls[1:]] == means
    if seed == 42:  # starts 5, 3, 5, 2: the fourth block is cut to its first value
        assert recorder.calls[1] == [6.0, 7.0, 8.0, 4.0, 5.0, 6.0, 6.0, 7.0, 8.0, 3.0]


def _mixed(seed, n):
    r = random.Random(seed)
    return [r.uniform(-1.0, 1.0) * 10.0 ** r.randint(-12, 16) for _ in range(n)]


@pytest.mark.parametrize(
    "data, block_size, n_resamples, level, seed",
    [
        (TEN, 3, 5, 0.8, 42),
        (_mixed(1, 37), 5, 300, 0.95, 0),
        (_mixed(2, 64), 64, 50, 0.9, 2**64 - 1),  # block = whole series: start always 0
        (_mixed(3, 101), 1, 200, 0.68, 7),
        (_mixed(4, 13), 4, 1, 0.5, 123456789),
        ([1e16, 1.0, -1e16, 3.0, 1e-300, -2.5] * 5, 7, 400, 0.99, 99),
        ([-0.0] * 6, 2, 10, 0.9, 3),
    ],
)
def test_python_mean_matches_native_mean_bit_for_bit(data, block_size, n_resamples, level, seed):
    native = mc.block_bootstrap_mean(data, block_size, n_resamples, level, seed=seed)
    assert bits(native) == bits(mc.block_bootstrap_mean(data, block_size, n_resamples, level, seed=seed))
    assert bits(mc.block_bootstrap(data, block_size, n_resamples, level, library_mean, seed=seed)) == bits(native)
    if data[0] == 0.0:  # all negative zeros: the mean keeps the sign
        assert math.copysign(1.0, native.point_estimate) == -1.0
        assert repr(native).startswith("BootstrapResult(point_estimate=-0.000000, ci_lower=-0.000000")


# --- Failures ------------------------------------------------------------------

EMPTY = "input data must not be empty"
BLOCK = "block_size must be >= 1 and <= data.len()"
LEVEL = "confidence_level must be in (0.0, 1.0)"
COUNT = "n_resamples must be >= 1"


@pytest.mark.parametrize(
    "args, message",
    [
        (([], 1, 10, 0.9), EMPTY),
        (([], 0, 0, 2.0), EMPTY),
        ((TEN, 0, 10, 0.9), BLOCK),
        ((TEN, 11, 10, 0.9), BLOCK),
        ((TEN, 0, 0, math.nan), BLOCK),
        ((TEN, 3, 10, 0.0), LEVEL),
        ((TEN, 3, 10, 1.0), LEVEL),
        ((TEN, 3, 10, -0.5), LEVEL),
        ((TEN, 3, 10, math.nan), LEVEL),
        ((TEN, 3, 0, math.inf), LEVEL),
        ((TEN, 3, 0, 0.9), COUNT),
    ],
)
def test_invalid_arguments_never_call_the_statistic(args, message):
    with pytest.raises(ValueError) as info:
        mc.block_bootstrap_mean(*args, seed=1)
    assert str(info.value) == message
    recorder = Recorder()
    with pytest.raises(ValueError) as info:
        mc.block_bootstrap(*args, recorder)
    assert str(info.value) == message and recorder.calls == []
    # 42 is not callable, but the engine's checks come first.
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        mc.block_bootstrap(*args, 42)


def test_smallest_positive_level_is_accepted():
    assert mc.block_bootstrap_mean(TEN, 3, 4, 5e-324, seed=0).confidence_level == 5e-324


NOT_CALLABLE = 42


class Holder:
    class Nested(Exception):
        pass


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def _raise(exc):
    def statistic(_):
        raise exc

    return statistic


@pytest.mark.parametrize(
    "statistic, message, type_name",
    [
        (42, RAISED + interpreter_text(lambda: NOT_CALLABLE(None)), None),
        (lambda v: 1 / 0, RAISED + interpreter_text(lambda: 1 / 0), None),
        (_raise(KeyboardInterrupt("stop")), RAISED + "KeyboardInterrupt: stop", None),
        (_raise(SystemExit(3)), RAISED + "SystemExit: 3", None),
        (_raise(Holder.Nested("nested")), RAISED + "Holder.Nested: nested", None),
        (_raise(BadStr()), RAISED + "BadStr: <exception str() failed>", None),
        (lambda v: None, NON_FLOAT + "TypeError: ", "NoneType"),
        (lambda v: "1.0", NON_FLOAT + "TypeError: ", "str"),
    ],
)
def test_statistic_failures_become_value_errors(statistic, message, type_name):
    with pytest.raises(ValueError) as info:
        mc.block_bootstrap(TEN, 3, 5, 0.9, statistic, seed=0)
    text = str(info.value)
    if type_name is None:
        assert text == message
    else:  # the rest is the interpreter's own conversion text
        assert text.startswith(message) and type_name in text[len(message) :]
    # The callable's exception is dropped, not chained.
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_lone_surrogate_in_message_is_replaced():
    with pytest.raises(ValueError) as info:
        mc.block_bootstrap(TEN, 3, 5, 0.9, _raise(Holder.Nested("a\ud800b")), seed=0)
    text = str(info.value)
    assert text.startswith(RAISED + "Holder.Nested: a") and text.endswith("b")
    middle = text[len(RAISED + "Holder.Nested: a") : -1]
    assert middle and set(middle) == {"\ufffd"}


@pytest.mark.parametrize("failing_call", [1, 2, 4])
def test_first_statistic_failure_stops_the_run(failing_call):
    calls = []

    def statistic(values):
        calls.append(values)
        if len(calls) == failing_call:
            raise Holder.Nested(f"call {failing_call}")
        return 1.0

    with pytest.raises(ValueError, match=f"Holder.Nested: call {failing_call}$"):
        mc.block_bootstrap(TEN, 3, 10, 0.9, statistic, seed=0)
    assert len(calls) == failing_call


def test_nan_statistics():
    one = mc.block_bootstrap(TEN, 3, 1, 0.5, lambda _: math.nan, seed=0)
    assert all(math.isnan(getattr(one, f)) for f in FIELDS[:3])
    assert repr(one) == (
        "BootstrapResult(point_estimate=NaN, ci_lower=NaN, ci_upper=NaN, "
        "confidence_level=0.5, n_resamples=1)"
    )
    # A NaN point estimate is not checked; only the resample statistics are sorted.
    first = Recorder(lambda v: math.nan if len(first.calls) == 1 else 2.0)
    result = mc.block_bootstrap(TEN, 3, 3, 0.5, first, seed=0)
    assert math.isnan(result.point_estimate) and (result.ci_lower, result.ci_upper) == (2.0, 2.0)

    panic = panic_class()
    assert panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    # One NaN anywhere among the resample statistics aborts the run.
    for nan_at in (1, 2, 7):
        counter = Recorder(lambda v: math.nan if len(counter.calls) == nan_at + 1 else 1.0)
        with pytest.raises(panic) as info:
            mc.block_bootstrap(TEN, 2, 7, 0.9, counter, seed=nan_at)
        assert info.value.args == ("statistic produced NaN",)


class PanicOnFloat:
    def __init__(self, panic):
        self.panic = panic

    def __float__(self):
        raise self.panic("from __float__")


@pytest.mark.parametrize("where", ["call", "float"])
def test_panic_raised_by_the_callable_is_resumed(where):
    panic = panic_class()

    def statistic(_):
        if where == "call":
            raise panic("from callback")
        return PanicOnFloat(panic)

    with pytest.raises(panic) as info:
        mc.block_bootstrap(TEN, 3, 5, 0.9, statistic, seed=0)
    assert info.value.args == ("from callback" if where == "call" else "from __float__",)
    assert mc.block_bootstrap(TEN, 3, 5, 0.9, library_mean, seed=0).point_estimate == 5.5


# --- The callable's view of the run --------------------------------------------


def test_callable_gets_fresh_full_length_lists():
    data = [0.5, -1.0, 2.25, 3.0, 4.0, 5.5, -6.0]
    recorder = Recorder()
    mc.block_bootstrap(data, 3, 25, 0.9, recorder, seed=5)
    calls = recorder.calls
    assert len(calls) == 26
    assert calls[0] == data and calls[0] is not data
    assert all(type(c) is list and len(c) == len(data) for c in calls)
    assert all(type(x) is float and x in data for c in calls for x in c)
    assert len({id(c) for c in calls}) == len(calls)  # all alive, so distinct ids = distinct lists
    assert data == [0.5, -1.0, 2.25, 3.0, 4.0, 5.5, -6.0]


def test_mutating_the_list_does_not_affect_the_run():
    kept = []

    def vandal(values):
        value = library_mean(values)
        values[:] = [1e300] * 3
        kept.append(values)
        return value

    data = _mixed(9, 20)
    expected = bits(mc.block_bootstrap(data, 3, 50, 0.9, library_mean, seed=11))
    assert bits(mc.block_bootstrap(data, 3, 50, 0.9, vandal, seed=11)) == expected
    for values in kept:
        values.append(1.0)
    assert bits(mc.block_bootstrap_mean(data, 3, 50, 0.9, seed=11)) == expected


@pytest.mark.parametrize(
    "returned, value",
    [(1, 1.0), (True, 1.0), (Index(2), 2.0), (type("F", (float,), {})(2.5), 2.5), (-1.0, -1.0), (-1, -1.0)],
)
def test_number_like_returns_are_accepted(returned, value):
    result = mc.block_bootstrap(TEN, 3, 4, 0.9, lambda _: returned, seed=0)
    assert all(type(getattr(result, f)) is float and getattr(result, f) == value for f in FIELDS[:3])


def test_callable_reference_is_released():
    def statistic(values):
        return 1.0

    before = sys.getrefcount(statistic)
    mc.block_bootstrap(TEN, 3, 5, 0.9, statistic, seed=0)
    for args in ((TEN, 0, 5, 0.9), ([], 1, 1, 0.5)):
        with pytest.raises(ValueError):
            mc.block_bootstrap(*args, statistic)
    assert sys.getrefcount(statistic) == before


# --- Argument binding and conversion ---------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda: mc.block_bootstrap_mean(TEN, -1, 10, 0.9),
        lambda: mc.block_bootstrap_mean(TEN, 2**64, 10, 0.9),
        lambda: mc.block_bootstrap_mean(TEN, 3, -1, 0.9),
        lambda: mc.block_bootstrap_mean(TEN, 3, 10, 0.9, seed=-1),
        lambda: mc.block_bootstrap_mean(TEN, 3, 10, 0.9, seed=2**64),
        lambda: mc.block_bootstrap(TEN, 3, 10, 0.9, 42, seed=2**64),
        lambda: mc.block_bootstrap_mean([2**1024], 3, 10, 0.9),
    ],
)
def test_out_of_range_integers_raise_unprefixed_overflow(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert type(info.value) is OverflowError and not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "call, prefix",
    [
        (lambda: mc.block_bootstrap_mean(TEN, 2.0, 10, 0.9), "argument 'block_size': "),
        (lambda: mc.block_bootstrap_mean(TEN, 2.0, -1, "x", seed=1.5), "argument 'block_size': "),
        (lambda: mc.block_bootstrap_mean(TEN, 2, "10", 0.9), "argument 'n_resamples': "),
        (lambda: mc.block_bootstrap_mean(TEN, 2, 10, "0.9"), "argument 'confidence_level': "),
        (lambda: mc.block_bootstrap_mean(TEN, 2, 10, 0.9, seed=1.0), "argument 'seed': "),
        (lambda: mc.block_bootstrap(TEN, 2, 10, 0.9, 42, seed="1"), "argument 'seed': "),
        (lambda: mc.block_bootstrap("abc", 2, 10, 0.9, 42), "argument 'data': Can't extract `str` to `Vec`"),
        (lambda: mc.block_bootstrap_mean([1.0, "a"], 1, 1, 0.9), "argument 'data': "),
    ],
)
def test_conversion_type_errors_are_prefixed(call, prefix):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(prefix)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: mc.block_bootstrap_mean([1.0], 1, 1, 0.9, 1, 2),
            "block_bootstrap_mean() takes from 4 to 5 positional arguments but 6 were given",
        ),
        (
            lambda: mc.block_bootstrap([1.0], 1, 1, 0.9, 1, 2, 3),
            "block_bootstrap() takes from 5 to 6 positional arguments but 7 were given",
        ),
        (
            lambda: mc.block_bootstrap_mean([1.0]),
            "block_bootstrap_mean() missing 3 required positional arguments: "
            "'block_size', 'n_resamples', and 'confidence_level'",
        ),
        (
            lambda: mc.block_bootstrap([1.0], 1, 1, seed=0),
            "block_bootstrap() missing 2 required positional arguments: 'confidence_level' and 'statistic'",
        ),
        (
            lambda: mc.block_bootstrap_mean([1.0], 1, 1, 0.9, seeds=1),
            "block_bootstrap_mean() got an unexpected keyword argument 'seeds'",
        ),
        (
            lambda: mc.block_bootstrap_mean([1.0], 1, 1, 0.9, data=[2.0]),
            "block_bootstrap_mean() got multiple values for argument 'data'",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_in_any_order():
    expected = bits(mc.block_bootstrap_mean(TEN, 3, 20, 0.9, 5))
    assert bits(mc.block_bootstrap_mean(seed=5, confidence_level=0.9, n_resamples=20, block_size=3, data=TEN)) == expected
    assert bits(mc.block_bootstrap(TEN, 3, 20, 0.9, library_mean, 5)) == expected
    assert bits(
        mc.block_bootstrap(statistic=library_mean, seed=5, n_resamples=20, data=TEN, confidence_level=0.9, block_size=3)
    ) == expected
    # __index__ objects, bools and ints are integers; an int confidence level is a float.
    assert bits(mc.block_bootstrap_mean(tuple(TEN), Index(2), 20, 0.9, seed=True)) == bits(
        mc.block_bootstrap_mean(TEN, 2, 20, 0.9, seed=1)
    )


@pytest.mark.parametrize("seed", [0, 1, 2**63, 2**64 - 1])
def test_seeded_runs_are_reproducible(seed):
    data = _mixed(seed % 1000, 40)
    first = mc.block_bootstrap_mean(data, 4, 500, 0.9, seed=seed)
    assert bits(mc.block_bootstrap_mean(data, 4, 500, 0.9, seed=seed)) == bits(first)
    assert bits(first) != bits(mc.block_bootstrap_mean(data, 4, 500, 0.9, seed=seed ^ 1))


def test_no_seed_draws_fresh_entropy():
    # Order statistics of 2000 means of resamples of 200 distinct values: two
    # independent runs agreeing on both bounds to the bit is not going to happen.
    data = [math.sin(i) * 1e3 + math.sqrt(i + 2) for i in range(200)]

    def run(**seed):
        return bits(mc.block_bootstrap_mean(data, 3, 2000, 0.95, **seed))

    runs = [run(), run(), run(seed=None), run(seed=None), run(seed=0)]
    assert len(set(runs)) == len(runs)


# --- Memory ------------------------------------------------------------------------


def test_unreservable_storage_raises_memory_error():
    start = time.monotonic()
    with pytest.raises(MemoryError, match="."):
        mc.block_bootstrap_mean([1.0], 1, 2**62, 0.9, seed=0)
    recorder = Recorder()
    with pytest.raises(MemoryError):
        mc.block_bootstrap([1.0, 2.0], 1, 2**64 - 1, 0.9, recorder, seed=0)
    assert time.monotonic() - start < 5.0
    assert recorder.calls == [[1.0, 2.0]]  # the point estimate comes before the reservation
    assert mc.block_bootstrap_mean(TEN, 3, 5, 0.8, seed=42).ci_lower == 3.4


@pytest.mark.skipif(UNDER_SANITIZER, reason="sanitizer shadow memory needs the address space")
def test_memory_error_under_address_space_limit():
    child = f"""
import resource, sys
sys.path[:0] = {sys.path!r}
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import _mirabund_core as mc
assert mc.__file__ == {mc.__file__!r}, mc.__file__
try:
    mc.block_bootstrap_mean([1.0, 2.0], 1, 2**28, 0.9, seed=0)
except MemoryError:
    print("MemoryError")
print(mc.block_bootstrap_mean([1.0, 2.0], 1, 3, 0.9, seed=0).point_estimate)
"""
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError", "1.5"]


# --- Rendering and attributes ---------------------------------------------------------


@pytest.mark.parametrize(
    "value, n_resamples, text",
    [
        (-0.0, 3, "-0.000000"),
        (math.inf, 1, "inf"),
        (-math.inf, 1, "-inf"),
        (0.0078125, 2, "0.007812"),
        (-1e-7, 2, "-0.000000"),
        (1e20, 2, "100000000000000000000.000000"),
    ],
)
def test_repr_of_estimates(value, n_resamples, text):
    result = mc.block_bootstrap(TEN, 3, n_resamples, 0.9, lambda _: value, seed=0)
    assert repr(result) == (
        f"BootstrapResult(point_estimate={text}, ci_lower={text}, ci_upper={text}, "
        f"confidence_level=0.9, n_resamples={n_resamples})"
    )
    assert math.copysign(1.0, result.ci_upper) == math.copysign(1.0, value)


def test_result_is_a_read_only_snapshot():
    result = mc.block_bootstrap_mean(TEN, 3, 5, 0.8, seed=42)
    assert type(result) is mc.BootstrapResult and type(result.n_resamples) is int
    for field in FIELDS:
        with pytest.raises(AttributeError):
            setattr(result, field, 1)
    with pytest.raises(TypeError):
        mc.BootstrapResult()


def test_failure_report_names_its_source_relative_to_the_repository(capfd):
    with pytest.raises(panic_class()):
        mc.block_bootstrap_mean([math.nan, 1.0], 1, 3, 0.9, seed=0)
    report = capfd.readouterr().err
    assert re.search(r"^mirabund native failure at core/bootstrap\.cpp:\d+: statistic produced NaN$", report, re.M), report
