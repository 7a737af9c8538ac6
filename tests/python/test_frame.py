"""The module object, its classes and functions, argument binding and conversion."""

import array
import gc
import operator
import os
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest
from reference import Index, raises_exactly

MEMBER_ORDER = [
    "BootstrapResult", "block_bootstrap", "block_bootstrap_mean",
    "SequentialDecision", "SequentialUpdate", "SequentialTest",
    "CorrectionMethod", "CorrectionResult", "correct_p_values",
    "EffectMagnitude", "EffectSizeResult", "cohens_d",
    "Preference", "PairwiseDebiasResult", "debias_pairwise_judgment",
    "LengthBiasResult", "length_bias_correction",
]

# Docstrings of the classes that cannot be constructed from Python.
CLASS_DOCS = {
    "BootstrapResult": "Python-visible result of a block bootstrap confidence interval\nestimation.",
    "SequentialDecision": "Decision returned after each observation fed into a\n`SequentialTest`.",
    "SequentialUpdate": "Result of feeding one new observation into a `SequentialTest`.",
    "CorrectionMethod": "Which multiple-comparisons correction method to apply.",
    "CorrectionResult": "Result of applying a multiple-comparisons correction to a set of\np-values.",
    "EffectMagnitude": "Qualitative interpretation bucket for a standardized effect size.",
    "EffectSizeResult": "Result of a Cohen's d / Hedges' g effect size computation.",
    "Preference": "A pairwise preference outcome between response A and response B.",
    "PairwiseDebiasResult": "Result of debiasing one pairwise comparison judged twice, with\n"
                            "response positions swapped between the two judgments.",
    "LengthBiasResult": "Result of fitting a length-bias correction to judge scores.",
}
ALL_CLASSES = [*CLASS_DOCS, "SequentialTest"]

COHENS_D_DOC = (
    "Computes Cohen's d and Hedges' g for the difference between\n"
    "`treatment` and `baseline` sample means, using the pooled\n"
    "standard deviation. Positive values mean `treatment` scored\n"
    "higher than `baseline`; negative means lower.\n"
    "\n"
    "Prefer `hedges_g` over `cohens_d` when group sizes are small\n"
    "(roughly n < 20 per group) \u2014 Cohen's d systematically\n"
    "overestimates effect size in that regime."
)


def present(core, name):
    if not hasattr(core, name):
        pytest.skip(f"{name} is not registered yet")
    return getattr(core, name)


@pytest.fixture
def instances(core):
    """One instance of each class that exists so far."""
    return [core.EffectMagnitude.Medium, core.cohens_d([1, 2, 3], [2, 3, 4])]


# --- the module -------------------------------------------------------------

def test_all_follows_member_order(core):
    names = core.__all__
    assert type(names) is list
    assert len(set(names)) == len(names)
    positions = [MEMBER_ORDER.index(n) for n in names]  # ValueError: unknown name
    assert positions == sorted(positions)
    assert {"EffectMagnitude", "EffectSizeResult", "cohens_d"} <= set(names)
    for name in names:
        assert hasattr(core, name)


def test_module_doc_is_empty(core):
    assert core.__doc__ == ""


def test_reimport_returns_the_same_objects(core):
    classes = {n: getattr(core, n) for n in core.__all__}
    n_names = len(core.__all__)
    del sys.modules["_mirabund_core"]
    try:
        import _mirabund_core as again
    finally:
        sys.modules["_mirabund_core"] = core
    assert again is core
    assert len(core.__all__) == n_names  # nothing registered twice
    for name, obj in classes.items():
        assert getattr(again, name) is obj


def test_second_interpreter_is_refused(core, tmp_path):
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("no legacy sub-interpreter runner")
    outcome = tmp_path / "outcome.txt"
    inner = textwrap.dedent(f"""
        try:
            import _mirabund_core
            text = "imported"
        except ImportError as e:
            text = "ImportError: " + str(e)
        except BaseException as e:
            text = type(e).__name__ + ": " + str(e)
        with open({str(outcome)!r}, "w") as f:
            f.write(text)
    """)
    script = textwrap.dedent(f"""
        import _mirabund_core, _testcapi
        _testcapi.run_in_subinterp({inner!r})
        print(_mirabund_core.cohens_d([1, 2, 3], [2, 3, 4]).cohens_d)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(core.__file__), *filter(None, [os.environ.get("PYTHONPATH")])]))
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "1.0"  # the first interpreter is unaffected
    text = outcome.read_text()
    assert text.startswith("ImportError: ")
    assert "sub-interpreter" in text.lower()


def test_only_the_entry_function_is_exported(core):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", core.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__mirabund_core"]


def test_no_python_library_is_linked(core):
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf not available")
    out = subprocess.run([readelf, "-d", core.__file__], capture_output=True, text=True,
                         check=True).stdout
    needed = [line for line in out.splitlines() if "(NEEDED)" in line]
    assert not [line for line in needed if "libpython" in line]


# --- classes ----------------------------------------------------------------

@pytest.mark.parametrize("name", ALL_CLASSES)
def test_class_shape(core, name):
    cls = present(core, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", list(CLASS_DOCS))
def test_class_without_constructor(core, name):
    cls = present(core, name)
    assert cls.__doc__ == CLASS_DOCS[name]
    assert cls.__text_signature__ is None
    for args, kwargs in [((), {}), ((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == f"No constructor defined for {name}"


def test_instances_are_closed(instances):
    for obj in instances:
        assert not hasattr(obj, "__dict__")
        assert not gc.is_tracked(obj)
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)


def test_class_dictionaries_keep_declaration_order(core):
    assert [k for k in vars(core.EffectMagnitude) if k[0].isupper()] == [
        "Negligible", "Small", "Medium", "Large"]
    props = [k for k, v in vars(core.EffectSizeResult).items()
             if type(v).__name__ == "getset_descriptor" and not k.startswith("__")]
    assert props == ["cohens_d", "hedges_g", "magnitude", "n_baseline", "n_treatment"]
    for p in props:
        assert getattr(core.EffectSizeResult, p).__doc__ == ""


# --- functions --------------------------------------------------------------

def test_function_object(core):
    f = core.cohens_d
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == f.__qualname__ == "cohens_d"
    assert f.__module__ == "_mirabund_core"
    assert f.__self__ is core
    assert f.__text_signature__ == "(baseline, treatment)"
    assert f.__doc__ == COHENS_D_DOC


# --- binding ----------------------------------------------------------------

A, B = [1.0, 2.0, 3.0], [2.0, 3.0, 4.0]


@pytest.mark.parametrize("args, kwargs, message", [
    ((A,), {}, "cohens_d() missing 1 required positional argument: 'treatment'"),
    ((), {"treatment": B}, "cohens_d() missing 1 required positional argument: 'baseline'"),
    ((), {}, "cohens_d() missing 2 required positional arguments: 'baseline' and 'treatment'"),
    ((1, 2, 3), {}, "cohens_d() takes 2 positional arguments but 3 were given"),
    ((1, 2, 3, 4), {"nope": 1}, "cohens_d() takes 2 positional arguments but 4 were given"),
    (([1.0],), {"treatment": [2.0], "baseline": [3.0]},
     "cohens_d() got multiple values for argument 'baseline'"),
    ((A, B), {"treatment": B}, "cohens_d() got multiple values for argument 'treatment'"),
    ((), {"a": [1.0]}, "cohens_d() got an unexpected keyword argument 'a'"),
    ((A,), {"Treatment": B}, "cohens_d() got an unexpected keyword argument 'Treatment'"),
    ((), {"baseline": A, "x": 1, "treatment": B},
     "cohens_d() got an unexpected keyword argument 'x'"),
    # Binding is finished before any argument is converted.
    (("abc",), {}, "cohens_d() missing 1 required positional argument: 'treatment'"),
    (("abc", {1}), {"z": 0}, "cohens_d() got an unexpected keyword argument 'z'"),
])
def test_binding_messages(core, args, kwargs, message):
    with raises_exactly(TypeError, message):
        core.cohens_d(*args, **kwargs)


@pytest.mark.parametrize("call", [
    lambda f: f(A, B),
    lambda f: f(A, treatment=B),
    lambda f: f(baseline=A, treatment=B),
    lambda f: f(treatment=B, baseline=A),
    lambda f: f(**{"treatment": B, "baseline": A}),
])
def test_keywords_bind_by_name(core, call):
    assert call(core.cohens_d).cohens_d == 1.0


# --- conversion of samples --------------------------------------------------

class Holder:
    class NotASequence:
        pass


class Text(str):
    pass


class GetItemOnly:
    def __init__(self, values):
        self.values = values

    def __getitem__(self, i):
        return self.values[i]  # IndexError ends the iteration


class LyingLength:
    """Iterates its values but reports a length that is absurd or broken."""

    def __init__(self, values, length):
        self.values, self.length = values, length

    def __getitem__(self, i):
        raise AssertionError("samples are read by iteration, not by index")

    def __iter__(self):
        return iter(self.values)

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


def _gen():
    yield 1.0
    yield 2.0


@pytest.mark.parametrize("value, message", [
    ("abc", "Can't extract `str` to `Vec`"),
    (Text("1"), "Can't extract `str` to `Vec`"),
    ({1.0, 2.0}, "'set' object cannot be converted to 'Sequence'"),
    ({1.0: 2.0, 2.0: 3.0}, "'dict' object cannot be converted to 'Sequence'"),
    (_gen(), "'generator' object cannot be converted to 'Sequence'"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
    (Holder.NotASequence(), "'Holder.NotASequence' object cannot be converted to 'Sequence'"),
])
@pytest.mark.parametrize("position", ["baseline", "treatment"])
def test_refused_samples(core, value, message, position):
    kwargs = {"baseline": A, "treatment": B, position: value}
    with raises_exactly(TypeError, f"argument '{position}': {message}"):
        core.cohens_d(**kwargs)


def test_enumeration_member_is_not_a_sample(core):
    with pytest.raises(TypeError) as info:
        core.cohens_d(core.EffectMagnitude.Large, B)
    assert str(info.value) == "argument 'baseline': 'EffectMagnitude' object cannot be converted to 'Sequence'"


@pytest.mark.parametrize("baseline", [
    (1, 2, 3),
    range(1, 4),
    b"\x01\x02\x03",
    [True, 2, 3],
    [1, 2.0, 3],
    GetItemOnly([1.0, 2.0, 3.0]),
    LyingLength([1.0, 2.0, 3.0], 10**18),
    LyingLength([1.0, 2.0, 3.0], 2**70),
    LyingLength([1.0, 2.0, 3.0], -1),
    LyingLength([1.0, 2.0, 3.0], RuntimeError("no length")),
    [Index(1), Index(2), Index(3)],
], ids=lambda v: type(v).__name__)
def test_accepted_samples(core, baseline):
    r = core.cohens_d(baseline, [2, 3, 4])
    assert (r.cohens_d, r.n_baseline) == (1.0, 3)


def _array_subclass(disguised=False):
    class Rewritten(array.array):
        def __iter__(self):  # iteration, not the buffer, defines the items
            return iter([1.0, 2.0, 3.0])
    if disguised:  # a subclass may take the base's very name
        Rewritten.__module__, Rewritten.__name__ = "array", "array"
    return Rewritten("d", [70.0, 8.0, 9.0])


def _numpy(make):
    def build():
        np = pytest.importorskip("numpy")
        return make(np)
    return build


@pytest.mark.parametrize("build", [
    lambda: array.array("d", [1.0, 2.5, 3.0]),
    lambda: array.array("f", [1.0, 2.5, 3.0]),
    lambda: array.array("i", [1, 2, 3]),
    lambda: array.array("d"),
    lambda: memoryview(array.array("d", [1.0, 2.5, 3.0])),
    lambda: memoryview(array.array("d", [1.0, 9.0, 2.5, 9.0, 3.0]))[::2],
    lambda: memoryview(array.array("d", [3.0, 2.5, 1.0]))[::-1],
    lambda: memoryview(array.array("d", [1.0, 2.5, 3.0])).cast("B"),
    lambda: memoryview(b"\x01\x02\x04"),
    _array_subclass,
    lambda: _array_subclass(disguised=True),
    _numpy(lambda np: np.array([1.0, 2.5, np.nan])),
    _numpy(lambda np: np.array([1.0, 9.0, 2.5, 9.0, 3.0])[::2]),
    _numpy(lambda np: np.array([3.0, 2.5, 1.0])[::-1]),
    _numpy(lambda np: np.broadcast_to(np.float64(2.0), (3,))),
    _numpy(lambda np: np.array([1.0, 2.5, 3.0], dtype=">f8")),
    _numpy(lambda np: np.array([1.0, 2.5, 3.0], dtype=np.float32)),
    _numpy(lambda np: np.array([[1.0, 2.0], [3.0, 4.0]])[:, 1]),
])
def test_buffers_read_as_their_iteration(core, build):
    sample = build()
    treatment = [0.5, 4.0, 2.25]
    try:
        expected = core.cohens_d([float(x) for x in sample], treatment)
    except ValueError as e:
        with pytest.raises(ValueError) as info:
            core.cohens_d(sample, treatment)
        assert info.value.args == e.args
        return
    r = core.cohens_d(sample, treatment)
    assert repr(r) == repr(expected)
    assert (r.cohens_d.hex(), r.hedges_g.hex()) == (expected.cohens_d.hex(), expected.hedges_g.hex())


def test_buffer_that_iteration_refuses_is_refused(core):
    ctypes = pytest.importorskip("ctypes")
    view = memoryview((ctypes.c_double * 3)(1.0, 2.0, 3.0))  # format "<d"
    with pytest.raises(NotImplementedError):
        list(view)
    with pytest.raises(NotImplementedError):
        core.cohens_d(view, [1.0, 2.0, 4.0])


class Mutator:
    """An item whose conversion changes the list holding it."""

    def __init__(self, owner, change):
        self.owner, self.change = owner, change

    def __float__(self):
        self.change(self.owner)  # may drop the list's reference to self
        return 3.0


@pytest.mark.parametrize("change, expected", [
    (list.clear, [1.0, 2.0, 3.0]),
    (lambda lst: lst.append(7.0), [1.0, 2.0, 3.0, 5.0, 7.0]),
    (lambda lst: lst.pop(), [1.0, 2.0, 3.0]),
    (lambda lst: lst.pop(0), [1.0, 2.0, 3.0]),
    (lambda lst: lst.__setitem__(3, 4.0), [1.0, 2.0, 3.0, 4.0]),
])
def test_list_changed_during_conversion(core, change, expected):
    sample = [1.0, 2.0]
    sample += [Mutator(sample, change), 5.0]
    r = core.cohens_d(sample, B)
    assert repr(r) == repr(core.cohens_d(expected, B))


class Floaty:
    def __init__(self, action):
        self.action = action
        self.calls = 0

    def __float__(self):
        self.calls += 1
        if isinstance(self.action, BaseException):
            raise self.action
        return self.action


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("position", ["baseline", "treatment"])
def test_item_type_errors_are_prefixed(core, position):
    for bad in ["x", None, [1.0], Floaty(3)]:  # Floaty(3): __float__ returns an int
        kwargs = {"baseline": A, "treatment": B, position: [1.0, bad, 2.0]}
        with pytest.raises(TypeError) as info:
            core.cohens_d(**kwargs)
        assert type(info.value) is TypeError
        assert str(info.value).startswith(f"argument '{position}': ")


def test_prefix_keeps_the_text_and_the_cause(core):
    cause = KeyError("root")
    inner = TypeError("inner text")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        core.cohens_d(A, [1.0, Floaty(inner)])
    assert info.value is not inner
    assert str(info.value) == "argument 'treatment': inner text"
    assert info.value.__cause__ is cause

    with pytest.raises(TypeError) as info:
        core.cohens_d([Floaty(TypeError("plain")), 1.0], B)
    assert str(info.value) == "argument 'baseline': plain"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("error", [
    ValueError("from __float__"),
    MyTypeError("subclass of TypeError"),
    RuntimeError("boom"),
    KeyboardInterrupt(),
])
def test_other_item_errors_pass_unchanged(core, error):
    with pytest.raises(BaseException) as info:
        core.cohens_d([1.0, Floaty(error)], B)
    assert info.value is error
    assert str(info.value) == str(error)


def test_integer_too_large_is_an_unprefixed_overflow(core):
    for position in ["baseline", "treatment"]:
        kwargs = {"baseline": A, "treatment": B, position: [1.0, 2**2000]}
        with pytest.raises(OverflowError) as info:
            core.cohens_d(**kwargs)
        assert not str(info.value).startswith("argument")


class BrokenIteration:
    def __init__(self, error):
        self.error = error

    def __getitem__(self, i):
        if i < 2:
            return float(i)
        raise self.error


def test_errors_of_the_iteration_itself(core):
    key = KeyError(2)
    with pytest.raises(KeyError) as info:
        core.cohens_d(BrokenIteration(key), B)
    assert info.value is key
    with pytest.raises(TypeError) as info:
        core.cohens_d(A, BrokenIteration(TypeError("no item")))
    assert str(info.value) == "argument 'treatment': no item"


def test_conversion_order_and_stop(core):
    spy = Floaty(2.0)
    with pytest.raises(TypeError, match=r"^argument 'baseline': "):
        core.cohens_d(treatment=[spy, spy], baseline="abc")
    assert spy.calls == 0  # treatment is not looked at after baseline fails

    # Conversion errors come before the library's own checks.
    with pytest.raises(TypeError, match=r"^argument 'treatment': "):
        core.cohens_d([1.0], "abc")

    spy = Floaty(2.0)
    core.cohens_d([spy, 1.0, 3.0], treatment=B)
    assert spy.calls == 1


def test_arguments_are_not_retained(core):
    cause = KeyError("c")
    baseline, treatment, item = GetItemOnly([1.0, 2.0, 3.0]), [2.0, 3.0, 4.0], Floaty(5.0)
    watched = (baseline, treatment, item, cause)

    def calls():
        core.cohens_d(baseline, treatment + [item])
        core.cohens_d((item, 1.0), GetItemOnly([item, 2.0]))
        with pytest.raises(ValueError):
            core.cohens_d([1.0], treatment)
        inner = TypeError("x")
        inner.__cause__ = cause
        with pytest.raises(TypeError):
            core.cohens_d(baseline, [1.0, Floaty(inner)])

    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(3):
        calls()
    gc.collect()  # a raised exception's traceback cycles back to its Floaty
    assert [sys.getrefcount(o) for o in watched] == before


# --- enumeration protocol ---------------------------------------------------

MAGNITUDES = [("Negligible", 0), ("Small", 1), ("Medium", 2), ("Large", 3)]


@pytest.mark.parametrize("name, value", MAGNITUDES)
def test_enumeration_member(core, name, value):
    E = core.EffectMagnitude
    m = getattr(E, name)
    assert m is getattr(E, name)
    assert type(m) is E
    assert type(int(m)) is int and int(m) == value
    assert repr(m) == str(m) == f"EffectMagnitude.{name}"
    assert m == value and value == m and not (m != value)
    assert m != value + 1 and not (m == value + 1)
    assert (m == True) is (value == 1)  # noqa: E712
    assert m == Index(value)
    assert m != float(value) and not (m == float(value))
    for other_name, other_value in MAGNITUDES:
        assert (m == getattr(E, other_name)) is (value == other_value)
        assert (m != getattr(E, other_name)) is (value != other_value)


def test_enumeration_equality_never_raises(core):
    E = core.EffectMagnitude

    class BadIndex:
        def __index__(self):
            raise ValueError("no")

    for other in [2**100, -(2**100), object(), "Large", None, BadIndex(),
                  core.cohens_d(A, B)]:
        assert not (E.Large == other)
        assert E.Large != other


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_enumeration_has_no_ordering(core, op):
    E = core.EffectMagnitude
    for other in [E.Small, E.Large, 1, 3]:
        with pytest.raises(TypeError):
            op(E.Large, other)


def test_enumeration_is_unhashable_and_no_index(core):
    E = core.EffectMagnitude
    with pytest.raises(TypeError):
        hash(E.Small)
    with pytest.raises(TypeError):
        {E.Small}
    with pytest.raises(TypeError):
        operator.index(E.Small)
    with pytest.raises(TypeError):
        [0, 1, 2][E.Small]


# --- result protocol --------------------------------------------------------

FIELDS = ["cohens_d", "hedges_g", "magnitude", "n_baseline", "n_treatment"]


def test_result_fields_are_read_only(core):
    r = core.cohens_d(A, B)
    for field in FIELDS:
        before = getattr(r, field)
        with pytest.raises(AttributeError):
            setattr(r, field, before)
        with pytest.raises(AttributeError):
            delattr(r, field)
        assert getattr(r, field) == before


def test_result_reads_build_new_objects(core):
    r = core.cohens_d(A, B)
    assert [type(getattr(r, f)) for f in FIELDS] == [float, float, core.EffectMagnitude, int, int]
    assert r.cohens_d is not r.cohens_d
    assert r.magnitude is not r.magnitude
    assert r.magnitude == r.magnitude == core.EffectMagnitude.Large
    assert r.magnitude is not core.EffectMagnitude.Large
    big = core.cohens_d(list(range(1000)), B)
    assert big.n_baseline == 1000 and big.n_baseline is not big.n_baseline


def test_result_identity_semantics(core):
    r, s = core.cohens_d(A, B), core.cohens_d(A, B)
    assert r == r and r != s
    assert hash(r) == hash(r)
    assert repr(r) == repr(s) == str(r)
