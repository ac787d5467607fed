"""The calling convention, checked for every exported kernel against the
signature catalogue: arity, positional-only binding, the element type and
dimension count of each array argument with its exact message, release of
earlier buffers after a failure, not-None arguments, and the result kind."""
import array
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import fragments
from conftest import CATALOGUE

PREFIX = "_c_closure_"
EXPORTED = sorted(int(k[len(PREFIX):]) for k in vars(fragments) if k.startswith(PREFIX))

# Kernels of the catalogue that no family provides: none, every family has landed.
STILL_MISSING = 0

DTYPES = {"int32": np.int32, "int64": np.int64, "float64": np.float64}
SCALARS = {"i": 0, "L": 0, "p": False, "d": 0.0}
MESSAGE = "Invalid array shape or type for argument '{}'"


def good_array(spec, int64_format="l", shape2=(64, 8), length=64):
    """An acceptable argument: ones (so strides and extents read from it are
    never zero), 64 elements, or 64 x 8 (a row for every element of a 1-D one)."""
    if spec["type"] == "object":
        return np.array([None] * 4, dtype=object)
    shape = (length,) if spec["ndim"] == 1 else shape2
    a = np.ones(shape, DTYPES[spec["type"]])
    if spec["type"] == "int64" and int64_format == "q":
        return memoryview(a).cast("B").cast("q", list(shape))
    return a


def wrong_arrays(spec):
    """Buffers that must be refused for this argument with its message."""
    if spec["type"] == "object":
        return [np.ones(4, np.int32), np.array([[None]], dtype=object)]
    out = [np.ones(64 if spec["ndim"] == 1 else (8, 8), DTYPES[t])
           for t in DTYPES if t != spec["type"]]
    # The right element type with the wrong number of dimensions.
    out.append(np.ones((8, 8) if spec["ndim"] == 1 else 64, DTYPES[spec["type"]]))
    out.append(bytearray(64))  # format "B"
    if spec["type"] == "int32":
        out.append(np.ones(64, ">i4"))  # byte-order prefixed format
    return out


def build_args(sig, arrays, scalars=None):
    it = iter(arrays)
    sc = iter(scalars) if scalars is not None else None
    return [next(it) if c == "O" else (next(sc) if sc else SCALARS[c]) for c in sig["format"]]


# Scalars for the one-call check where zeros are refused by the kernel itself
# (the bucket sort divides by its extents B and C).
CALL_SCALARS = {103: (1, 1, 1)}
# Matrix extents for that call where the kernel writes one entry per matrix
# entry into a one-dimensional array (the nonzeros of an 8 x 8 block fit 64).
CALL_SHAPE2 = {334: (8, 8)}
# Lengths of one-dimensional arrays for that call where a kernel writes as
# many entries as the product of two arrays' lengths (bfix gets count(a) x
# count(einst) entries), or one entry more than an input array holds (a
# shape with a unit axis inserted, a result row pointer after n picks).
CALL_LENGTHS = {597: {"einst": 1}, 231: {"shape0": 63}, 450: {"shape": 63},
                416: {"idxs": 63}, 418: {"idxs": 63}}


def kernel_params():
    return [pytest.param(n, id=str(n)) for n in EXPORTED]


def array_params():
    return [pytest.param(n, k, id=f"{n}-{CATALOGUE[str(n)]['arrays'][k]['name']}")
            for n in EXPORTED for k in range(len(CATALOGUE[str(n)]["arrays"]))]


def test_module_holds_only_its_kernels():
    standard = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
    names = set(vars(fragments))
    assert names - standard == {PREFIX + str(n) for n in EXPORTED}
    assert fragments.__doc__ == ""
    assert fragments.__name__ == "fragments"


def test_method_table_runs_in_descending_kernel_number():
    order = [int(k[len(PREFIX):]) for k in vars(fragments) if k.startswith(PREFIX)]
    assert order == sorted(order, reverse=True)


def test_module_exports_exactly_the_657_kernels_in_descending_order():
    """_c_closure_656 .. _c_closure_0, each once, no more, as the method table runs."""
    order = [int(k[len(PREFIX):]) for k in vars(fragments) if k.startswith(PREFIX)]
    assert len(CATALOGUE) == 657 and sorted(map(int, CATALOGUE)) == list(range(657))
    missing = [n for n in map(int, CATALOGUE) if n not in EXPORTED]
    assert len(missing) == STILL_MISSING == 0
    assert order == list(range(656, -1, -1))


def test_catalogue_matches_the_shipped_signature_file():
    """tests/signatures.json starts from the shared catalogue; kernels whose
    binding is ours to design may differ, nothing else."""
    shared = pathlib.Path(__file__).resolve().parents[2] / "shared" / "signatures.json"
    if not shared.exists():
        pytest.skip("shared catalogue not present")
    theirs = json.loads(shared.read_text())["kernels"]
    for n, sig in CATALOGUE.items():
        if not theirs[n]["designed_here"]:
            assert sig == theirs[n], n


@pytest.mark.parametrize("n", kernel_params())
def test_arity_is_exact_and_keywords_are_refused(n):
    sig = CATALOGUE[str(n)]
    f = getattr(fragments, PREFIX + str(n))
    args = build_args(sig, [good_array(a) for a in sig["arrays"]])
    with pytest.raises(TypeError):
        f(*args[:-1]) if args else f(0)
    with pytest.raises(TypeError):
        f(*args, 0)
    with pytest.raises(TypeError):
        f(*args, extra=1)


@pytest.mark.parametrize("n,k", array_params())
def test_each_array_argument_checks_type_and_dimensions(n, k):
    sig = CATALOGUE[str(n)]
    specs = sig["arrays"]
    f = getattr(fragments, PREFIX + str(n))
    for bad in wrong_arrays(specs[k]):
        arrays = [good_array(a) for a in specs]
        arrays[k] = bad
        with pytest.raises(ValueError) as exc:
            f(*build_args(sig, arrays))
        assert str(exc.value) == MESSAGE.format(specs[k]["name"])
    # An object that exports no buffer fails with the interpreter's error.
    arrays = [good_array(a) for a in specs]
    arrays[k] = 3
    with pytest.raises(TypeError):
        f(*build_args(sig, arrays))
    # The right array is accepted: the failure moves on to the next argument.
    if k + 1 < len(specs):
        for fmt in ("l", "q"):
            arrays = [good_array(a, fmt) for a in specs]
            arrays[k + 1] = wrong_arrays(specs[k + 1])[0]
            with pytest.raises(ValueError) as exc:
                f(*build_args(sig, arrays))
            assert str(exc.value) == MESSAGE.format(specs[k + 1]["name"])


TYPECODES = {"int32": "i", "int64": "q", "float64": "d"}


@pytest.mark.parametrize("n", [n for n in EXPORTED if len(CATALOGUE[str(n)]["arrays"]) >= 2])
def test_buffers_are_released_after_a_later_failure(n):
    sig = CATALOGUE[str(n)]
    specs = sig["arrays"]
    first = specs[0]
    if first["type"] == "object" or first["ndim"] != 1:
        pytest.skip("first argument cannot be an array.array")
    held = array.array(TYPECODES[first["type"]], [1] * 64)
    arrays = [held] + [good_array(a) for a in specs[1:]]
    arrays[-1] = wrong_arrays(specs[-1])[0]
    with pytest.raises(ValueError):
        getattr(fragments, PREFIX + str(n))(*build_args(sig, arrays))
    held.append(1)  # raises BufferError while a view is still exported
    assert len(held) == 65


@pytest.mark.parametrize("n,k", [(n, k) for n in EXPORTED
                                 for k, a in enumerate(CATALOGUE[str(n)]["arrays"]) if a["not_none"]])
def test_not_none_arguments_refuse_none(n, k):
    sig = CATALOGUE[str(n)]
    arrays = [good_array(a) for a in sig["arrays"]]
    arrays[k] = None
    with pytest.raises(TypeError):
        getattr(fragments, PREFIX + str(n))(*build_args(sig, arrays))


# Every kernel once with acceptable arrays (int64 as "l" and as "q") and zero
# scalars, in a child process so that a kernel that faults is named rather
# than taking the test session down. The result must be of the catalogued kind.
CHILD = r"""
import json, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import fragments
from test_binding import CATALOGUE, CALL_LENGTHS, CALL_SCALARS, CALL_SHAPE2, EXPORTED, build_args, good_array
for n in EXPORTED:
    sig = CATALOGUE[str(n)]
    for fmt in ("l", "q"):
        print(n, fmt, flush=True)
        arrays = [good_array(a, fmt, CALL_SHAPE2.get(n, (64, 8)), CALL_LENGTHS.get(n, {}).get(a["name"], 64))
                  for a in sig["arrays"]]
        args = build_args(sig, arrays, CALL_SCALARS.get(n))
        r = getattr(fragments, "_c_closure_%d" % n)(*args)
        kind = sig["result"]
        ok = {"none": r is None, "int32": type(r) is int, "int64": type(r) is int,
              "bool": type(r) is bool,
              "tuple": type(r) is tuple and len(r) == sig["tuple_len"]
                       and all(type(x) in (int, bool) for x in r)}[kind]
        if not ok:
            print("WRONG RESULT", n, repr(r), flush=True)
print("DONE", flush=True)
"""


def test_every_kernel_accepts_its_arrays_and_returns_its_result_kind():
    here = str(pathlib.Path(__file__).parent)
    # glibc's checking allocator makes a stray write past an array show up here.
    env = dict(os.environ, MALLOC_CHECK_="3", MALLOC_PERTURB_="165")
    proc = subprocess.run([sys.executable, "-c", CHILD, here], capture_output=True, text=True,
                          timeout=600, env=env)
    lines = proc.stdout.splitlines()
    assert proc.returncode == 0, f"stopped after {lines[-1:]}: {proc.stderr[-2000:]}"
    assert lines[-1] == "DONE"
    assert not [ln for ln in lines if ln.startswith("WRONG")]


def test_none_result_is_the_interpreters_none():
    a = np.zeros(4, np.int32)
    assert fragments._c_closure_521(a, 2, 0) is None


def test_thirty_two_bit_results_are_sign_extended():
    w = np.array([-1, 5], np.int32)
    assert fragments._c_closure_531(-5, 1, 0, w) == -1
    assert fragments._c_closure_540(1, 1, 0, w) == -1


MEMORY_CHILD = r"""
import resource, sys
import numpy as np
import fragments
# A 2**27-entry view of one element (no memory behind it) asks the bucket sort
# for a 1 GiB work array; the address-space limit makes that allocation fail.
perm = np.lib.stride_tricks.as_strided(np.zeros(1, np.int64), shape=(2**27,), strides=(0,))
ptrb = np.zeros(4, np.int64)
val = np.zeros(0, np.int64)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + 2**29, hard))
try:
    fragments._c_closure_103(1, 1, 1, perm, ptrb, val)
except MemoryError:
    print("MemoryError")
print(fragments._c_closure_540(1, 2, 0, np.array([3, 4], np.int32)))
"""


def test_failed_work_array_allocation_raises_memory_error():
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["MemoryError", "12"]


WRONG_TYPECODES = {"int32": "d", "int64": "i", "float64": "q"}


@pytest.mark.parametrize("n", [n for n in EXPORTED if CATALOGUE[str(n)]["arrays"][:1]
                               and CATALOGUE[str(n)]["arrays"][0]["type"] != "object"])
def test_a_rejected_buffer_is_released(n):
    """The view taken for an argument that then fails its format or dimension
    check is released with the others: its exporter can be resized again."""
    sig = CATALOGUE[str(n)]
    specs = sig["arrays"]
    bad = array.array(WRONG_TYPECODES[specs[0]["type"]], [1] * 64)
    arrays = [bad] + [good_array(a) for a in specs[1:]]
    with pytest.raises(ValueError) as exc:
        getattr(fragments, PREFIX + str(n))(*build_args(sig, arrays))
    assert str(exc.value) == MESSAGE.format(specs[0]["name"])
    bad.append(1)  # raises BufferError while a view is still exported
    assert len(bad) == 65


def strided(values, step, fill):
    """A view of every step-th element of a larger array whose other elements
    hold `fill`; returns (view, backing array)."""
    values = np.asarray(values)
    back = np.full(len(values) * step, fill, values.dtype)
    back[::step] = values
    return back[::step], back


# Kernels that read and write one-dimensional arrays (some through the element
# count of the view): each runs once on contiguous copies and once on strided
# views, which must give the same result and leave every gap untouched.
STRIDED_CASES = [
    # kernel, its scalars in positional order, its arrays in positional order
    pytest.param(295, (4,), [np.zeros(6, np.int32), np.array([3, 1, 4, 1, 5, 9], np.int32)], id="295-copy"),
    pytest.param(298, (7,), [np.array([3, -1, 4, 10, 5], np.int32)], id="298-sum-by-count"),
    pytest.param(336, (4, 2.5), [np.zeros(5)], id="336-fill-f64"),
    pytest.param(332, (1,), [np.zeros(6, np.int32), np.array([8, 6, 7], np.int32)], id="332-copy-by-count"),
    pytest.param(301, (3,), [np.array([2, 1], np.int32), np.array([3, 2], np.int32),
                             np.array([1, 4, 5, 0, 2], np.int64)], id="301-int64-in-place"),
]


@pytest.mark.parametrize("n,scalars,arrays", STRIDED_CASES)
def test_strided_one_dimensional_views_are_read_and_written_at_their_stride(n, scalars, arrays):
    sig = CATALOGUE[str(n)]
    f = getattr(fragments, PREFIX + str(n))
    plain = [a.copy() for a in arrays]
    want = f(*build_args(sig, plain, scalars))
    views, backs = zip(*[strided(a, 3, -77) for a in arrays])
    got = f(*build_args(sig, list(views), scalars))
    assert got == want
    for v, back, p in zip(views, backs, plain):
        np.testing.assert_array_equal(v, p)
        gaps = np.delete(back, np.arange(0, len(back), 3))
        assert (gaps == -77).all()


def test_non_square_matrices_are_read_by_row_and_column():
    m = np.arange(1, 13, dtype=np.float64).reshape(3, 4) * np.array([1, 0, -1, 2])
    # Row-major, column-major, and every second row of a taller array.
    for view in (m, np.asfortranarray(m), np.repeat(m, 2, axis=0)[::2]):
        # Dense bounds: rows outer, through both strides.
        lval, uval = np.zeros(14), np.zeros(14)
        assert fragments._c_closure_288(3, 4, 1, view, lval, -view, uval) == 13
        np.testing.assert_array_equal(lval[1:13], m.ravel())
        np.testing.assert_array_equal(uval[1:13], -m.ravel())
        # Nonzeros: the loop runs over the matrix's own extents.
        sp, vals = np.full(12, -1, np.int64), np.zeros(12)
        got = fragments._c_closure_334(0, np.array([3, 4], np.int32), sp, vals, view)
        flat = np.flatnonzero(m)
        assert got == len(flat)
        np.testing.assert_array_equal(sp[:got], flat)
        np.testing.assert_array_equal(vals[:got], m.ravel()[flat])
        assert (sp[got:] == -1).all()
