"""The release call path against the reference one (the interpreter's parser
and one memoryview per array): for every kernel, good and bad arguments of
every kind give the same exception type and text, or the same result and the
same array contents. And the module works where numpy cannot be imported."""
import array
import fractions
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import fragments
from conftest import CATALOGUE
from reference_build import cached_reference, find_build, load
from test_binding import CALL_SCALARS, CALL_SHAPE2

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXPORTED = sorted(int(k[len("_c_closure_"):]) for k in vars(fragments) if k.startswith("_c_closure_"))


@pytest.fixture(scope="module")
def ref():
    """FRAGMENTS_REFERENCE_BUILD names a directory holding a reference build
    (made with -Dcall_path=reference, or by tests/reference_build.py);
    without it one is compiled from the sources, once per state of them."""
    given = os.environ.get("FRAGMENTS_REFERENCE_BUILD")
    so = find_build(given) if given else cached_reference()
    if so is None:
        pytest.skip("needs a C++ compiler and the module sources")
    # Run on the reference build itself, both sides are that build.
    return load(so)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Float:
    def __float__(self):
        return 2.25


class BadBool:
    def __bool__(self):
        raise RuntimeError("no truth value")


class Sub(np.ndarray):
    pass


def run(f, args):
    try:
        r = f(*args)
        return ("ok", r, [a.tobytes() if isinstance(a, np.ndarray) and a.dtype != object else None
                          for a in args])
    except Exception as e:  # noqa: BLE001 - the exception is what is compared
        return ("raised", type(e), str(e))


# ---------------------------------------------------------------- refused arguments, every kernel

# Values each scalar kind refuses (wrong type, out of range). They fail in
# binding, before any loop runs, so every kernel can take them.
BAD_SCALARS = {
    "i": [2**31, -2**31 - 1, 2**40, 2**200, 0.0, "0", None, Index(2**40), [0], 1j],
    "L": [2**63, -2**63 - 1, 0.5, "0", None, Index(2**64), [0]],
    "p": [BadBool()],
    "d": ["0", None, 1j, 10**400, [0.0]],
}


def bad_arrays(spec):
    """Arrays refused for this argument: each must fail alike on both paths."""
    if spec["type"] == "object":
        bad = np.empty(2, dtype=object)
        bad[:] = [np.ones(4, np.int32), np.ones(4, np.int64)]
        worse = np.empty(2, dtype=object)
        worse[:] = [np.ones(4, np.int32), 7]
        return [bad, worse, np.ones(4, np.int32), np.ones((2, 2), dtype=object), 3, bytearray(8)]
    dt = np.dtype({"int32": np.int32, "int64": np.int64, "float64": np.float64}[spec["type"]])
    others = [t for t in (np.int32, np.int64, np.float64, np.uint32, np.float32, np.int16) if np.dtype(t) != dt]
    shape = (64,) if spec["ndim"] == 1 else (64, 8)
    wrong_dims = (8, 8) if spec["ndim"] == 1 else 64
    raw = np.zeros(64 * 8 * 8 + 1, np.uint8)
    out = [np.ones(shape, t) for t in others]
    out += [np.ones(wrong_dims, dt), np.array(1, dt), np.ones((2, 4, 8), dt),
            np.ones(shape, dt.newbyteorder(">")),
            np.frombuffer(raw.data, dtype=dt, count=int(np.prod(shape)), offset=1).reshape(shape),
            np.ones(shape, dt).astype(object), bytearray(64), 3, "abc",
            # Aligned data, a stride that is not a multiple of the element size.
            np.lib.stride_tricks.as_strided(np.ones(4096, dt), shape,
                                            (dt.itemsize + 2,) if len(shape) == 1 else (8 * dt.itemsize + 2, dt.itemsize))]
    if spec["not_none"]:
        out.append(None)
    return out


def good_args(sig, n):
    """Arguments every kernel accepts: zero scalars and arrays of ones."""
    arrays = []
    for a in sig["arrays"]:
        if a["type"] == "object":
            x = np.empty(2, dtype=object)
            x[:] = [None, None]
        else:
            dt = {"int32": np.int32, "int64": np.int64, "float64": np.float64}[a["type"]]
            x = np.ones(64 if a["ndim"] == 1 else CALL_SHAPE2.get(n, (64, 8)), dt)
        arrays.append(x)
    it, sc = iter(arrays), iter(CALL_SCALARS.get(n, ()))
    return [next(it) if c == "O" else next(sc, {"i": 0, "L": 0, "p": False, "d": 0.0}[c]) for c in sig["format"]]


def refusals(sig):
    """(position, value) pairs: every refused value at the first argument of
    each scalar kind, every refused array at every array argument."""
    out = [(sig["format"].index(c), v) for c in "iLpd" if c in sig["format"] for v in BAD_SCALARS[c]]
    pos = [p for p, c in enumerate(sig["format"]) if c == "O"]
    for p, spec in zip(pos, sig["arrays"]):
        out += [(p, v) for v in bad_arrays(spec)]
    return out


@pytest.mark.parametrize("n", EXPORTED)
def test_refused_arguments_fail_alike_on_both_paths(ref, n):
    sig = CATALOGUE[str(n)]
    name = f"_c_closure_{n}"
    fast, slow = getattr(fragments, name), getattr(ref, name)
    for pos, value in refusals(sig):
        args = good_args(sig, n)
        args[pos] = value
        a, b = run(fast, args), run(slow, args)
        assert a[0] == "raised" and a == b, (n, pos, value)
    base = good_args(sig, n)
    for args in (base[:-1], base + [0], [], base[:1] * (len(base) + 3)):
        a, b = run(fast, args), run(slow, args)
        assert a[0] == "raised" and a == b
    with pytest.raises(TypeError) as e1:
        fast(*base, x=1)
    with pytest.raises(TypeError) as e2:
        slow(*base, x=1)
    assert str(e1.value) == str(e2.value)


# ------------------------------------------------ accepted arguments, kernels whose results show them

def layouts(dtype, n, fill):
    """The same n values in every layout a caller may hand over: contiguous,
    strided, reversed, read-only, a subclass, a memoryview, an array.array."""
    vals = np.asarray(fill, dtype)
    out = [vals.copy()]
    wide = np.full(2 * n, -9, dtype)
    wide[::2] = vals
    out.append(wide[::2])
    rev = vals[::-1].copy()
    out.append(rev[::-1])
    ro = vals.copy()
    ro.flags.writeable = False
    out += [ro, vals.copy().view(Sub), memoryview(vals.copy())]
    code = {np.dtype(np.int32): "i", np.dtype(np.int64): "q", np.dtype(np.float64): "d"}[np.dtype(dtype)]
    out.append(array.array(code, vals.tolist()))
    if np.dtype(dtype) == np.int64:
        out += [vals.astype(np.longlong), array.array("l", vals.tolist())]
    return out


def snapshot(x):
    try:
        return memoryview(x).tobytes()
    except TypeError:
        return None


def compare(ref, n, make, pos, values):
    """Calls kernel n on both paths with make()'s arguments, position pos
    replaced by each value; results and every array's contents must agree."""
    for v in values:
        outcomes = []
        for mod in (fragments, ref):
            args = make()
            args[pos] = v
            try:
                r = ("ok", getattr(mod, f"_c_closure_{n}")(*args))
            except Exception as e:  # noqa: BLE001
                r = ("raised", type(e), str(e))
            outcomes.append((r, [snapshot(a) for a in args if not isinstance(a, (int, float, bool))]))
        assert outcomes[0] == outcomes[1], (n, pos, v)


I_VALUES = [0, 1, 7, -1, 2**30 - 1, 2**30, -2**30, -2**30 - 1, 2**31 - 1, -2**31, True, False,
            np.int32(5), np.int64(-3), np.uint8(200), Index(9), Index(2**31 - 1)]
L_VALUES = [0, 5, -7, 2**30, 2**40, 2**62, 2**63 - 1, -2**63, True, np.int64(9), np.uint32(2**32 - 1),
            Index(2**50)]
D_VALUES = [1.5, 3, -0.0, float("inf"), float("nan"), 2**70, 10**300, True, np.float64(2.5),
            np.float32(0.1), np.int64(7), Float(), fractions.Fraction(1, 3), 2**30, -2**30 - 5]
P_VALUES = [True, False, 1, 0, 2**100, 2.5, 0.0, "x", "", [1], [], None, np.bool_(True), np.int32(0),
            Float(), object()]


def test_integer_scalars_reach_the_loop_alike(ref):
    # _c_closure_540: init times the product of wi32[pos : pos + n], 32-bit.
    make = lambda: [1, 3, 2, np.array([9, 9, 2, 3, 5, 9], np.int32)]  # noqa: E731
    compare(ref, 540, make, 0, I_VALUES)
    compare(ref, 540, make, 1, [v for v in I_VALUES if isinstance(v, bool) or -2**31 <= int(v) <= 4])
    # _c_closure_106: fills st[0 : n] with the 64-bit value.
    make = lambda: [3, np.zeros(8, np.int64), 0]  # noqa: E731
    compare(ref, 106, make, 2, L_VALUES)
    compare(ref, 106, make, 0, [v for v in I_VALUES if isinstance(v, bool) or int(v) <= 8])


def test_double_and_flag_scalars_reach_the_loop_alike(ref):
    # _c_closure_336: fills vals[0 : n] with the double.
    make = lambda: [3, np.zeros(5), 0.0]  # noqa: E731
    compare(ref, 336, make, 2, D_VALUES)
    compare(ref, 336, make, 0, [v for v in L_VALUES if isinstance(v, bool) or int(v) <= 5])
    # _c_closure_517: the flag, set if any of the first k operands has programs.
    make = lambda: [False, 2, np.zeros(3, np.int32)]  # noqa: E731
    compare(ref, 517, make, 0, P_VALUES)


def test_array_layouts_are_read_and_written_alike(ref):
    # _c_closure_101: res[e] = param_value[idxs[e]].
    idx = [3, 0, 2, 2, 1]
    for pos, arrays in ((0, layouts(np.int32, 5, idx)), (1, layouts(np.float64, 4, [0.5, 1.5, 2.5, 3.5])),
                        (2, layouts(np.float64, 5, [0.0] * 5))):
        make = lambda: [np.array(idx, np.int32), np.array([0.5, 1.5, 2.5, 3.5]), np.zeros(5)]  # noqa: E731
        compare(ref, 101, make, pos, arrays)
    # _c_closure_106 writes an int64 array in every layout.
    compare(ref, 106, lambda: [4, np.zeros(4, np.int64), -5], 1, layouts(np.int64, 4, [0] * 4))


def test_matrix_layouts_are_read_and_written_alike(ref):
    # _c_closure_289: row k of inst = (msubi[k], msubj[k]).
    def mats():
        base = np.zeros((5, 2), np.int32)
        wide = np.zeros((5, 6), np.int32)
        tall = np.zeros((10, 2), np.int32)
        return [base, base.copy(order="F"), wide[:, ::3], tall[::2], np.zeros((2, 5), np.int32).T,
                base.view(Sub), memoryview(base.copy())]
    make = lambda: [np.zeros((5, 2), np.int32), np.arange(5, dtype=np.int32), np.arange(10, 15, dtype=np.int32)]  # noqa: E731
    compare(ref, 289, make, 0, mats())


@pytest.mark.parametrize("n", [101, 102])
def test_zero_length_arrays_agree(ref, n):
    # The parameter gather and scatter run over idxs: with every array empty
    # (views into a larger array, so nothing outside is touched) they do nothing.
    def args():
        big = np.full(16, 7.0)
        return [np.arange(16, dtype=np.int32)[4:4], big[2:2], big[8:8]], big
    (a, big_a), (b, big_b) = args(), args()
    assert run(getattr(fragments, f"_c_closure_{n}"), a) == run(getattr(ref, f"_c_closure_{n}"), b)
    assert (big_a == 7.0).all() and (big_b == 7.0).all()


NO_NUMPY = r"""
import array, sys
sys.modules["numpy"] = None          # any import of numpy now fails
import fragments
a = array.array("i", [3, 4])
assert fragments._c_closure_540(1, 2, 0, a) == 12
m = memoryview(array.array("i", [0, 0, 0, 0]))
fragments._c_closure_521(m, 2, 0)
try:
    fragments._c_closure_540(1, 2, 0, array.array("d", [1.0, 2.0]))
except ValueError as e:
    print(e)
print("ok")
"""


def test_module_works_where_numpy_cannot_be_imported():
    proc = subprocess.run([sys.executable, "-c", NO_NUMPY], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.split("\n")
    assert lines[0].startswith("Invalid array shape or type for argument '")
    assert lines[1] == "ok"


class FalsyFloat(float):
    def __bool__(self):
        return False


class TruthyFloat(float):
    def __bool__(self):
        return True


class FalsyInt(int):
    def __bool__(self):
        return False


@pytest.mark.parametrize("flag,want", [(FalsyFloat(2.0), False), (TruthyFloat(0.0), True), (FalsyInt(3), False),
                                       (2.0, True), (0.0, False), (3, True)])
def test_flag_of_a_number_subclass_is_its_own_truth_value(flag, want):
    # 580 with no elements hands its flags back unchanged: the first is the "p" slot.
    assert fragments._c_closure_580(None, flag, 0, None, True, True, 1, None) == (want, True, True)
