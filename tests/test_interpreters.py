"""What differs between the supported interpreters (CPython 3.9 to 3.13), checked
on whichever one runs the suite: reference counts of the shared objects a
kernel hands back (None, True, False and small ints are immortal from 3.12 on
and counted before), conversion of the "i", "L", "d" and "p" scalars (objects
with only __int__ are taken with a DeprecationWarning before 3.10 and refused
from 3.10 on), and the release of every buffer and result."""
import array
import decimal
import fractions
import sys
import tracemalloc

import numpy as np
import pytest

from conftest import kernel
from test_array_lists import lists, probe  # noqa: F401  (probe is a fixture)

IMMORTAL = sys.version_info >= (3, 12)
INT_ONLY_ACCEPTED = sys.version_info < (3, 10)


def echo_i(v):  # 279: s plus the elements of dims; None dims: s itself
    return kernel(279)(None, v)


def echo_L(v):  # 290: p times the extents of dim; None dim: p itself
    return kernel(290)(None, v)


def echo_d(v):  # 336: n entries of vals set to v; read one back
    vals = np.full(3, -7.0)
    assert kernel(336)(1, vals[::2], v) is None
    assert vals[1] == -7.0 and vals[2] == -7.0
    return vals[0]


def echo_p(v):  # 296: n = 0 compares nothing and hands the flag back
    return kernel(296)(0, v, None, None)


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IntOnly:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class FloatOnly:
    def __float__(self):
        return 2.5


class Raises:
    def __index__(self):
        raise ArithmeticError("from __index__")

    def __float__(self):
        raise ArithmeticError("from __float__")

    def __bool__(self):
        raise ArithmeticError("from __bool__")


# ------------------------------------------------------------ reference counts

SHARED_RESULTS = [
    pytest.param(lambda: kernel(521)(np.zeros(4, np.int32), 2, 0), None, 1, id="none"),
    pytest.param(lambda: echo_p(True), True, 1, id="true"),
    pytest.param(lambda: echo_p(False), False, 1, id="false"),
    pytest.param(lambda: echo_i(7), 7, 1, id="small-int32"),
    pytest.param(lambda: echo_L(-3), -3, 1, id="small-int64"),
    pytest.param(lambda: kernel(599)(11, 11, 0, None), 11, 2, id="tuple-items"),
]


def _counts(call, obj):
    """The count of `obj` before, after 300 dropped results, while 100 results
    are held, and after they are dropped (measured outside the test so that
    assertion rewriting's temporaries do not take references of their own)."""
    call()
    before = sys.getrefcount(obj)
    for _ in range(300):
        call()
    dropped = sys.getrefcount(obj)
    held = [call() for _ in range(100)]
    holding = sys.getrefcount(obj)
    del held
    return before, dropped, holding, sys.getrefcount(obj)


@pytest.mark.parametrize("call,obj,per_result", SHARED_RESULTS)
def test_shared_results_are_counted_the_interpreters_way(call, obj, per_result):
    """Each result is a new reference: held results raise the count of the
    shared object by one each before 3.12 and leave an immortal one's count as
    it was from 3.12 on; dropped results always leave it as it was."""
    r = call()
    assert r is obj or (type(r) is tuple and len(r) == 2 and r[0] is obj and r[1] is obj)
    before, dropped, holding, released = _counts(call, obj)
    assert dropped == before and released == before
    assert holding - before == (0 if IMMORTAL else 100 * per_result)


def test_new_results_and_failed_calls_do_not_leak():
    dims = np.ones(8, np.int32)
    w = np.array([3, -1], np.int32)

    def refused():  # the second array is refused after the first one's view was taken
        try:
            kernel(332)(dims, np.zeros(2), 0)
        except ValueError:
            return
        raise AssertionError("float64 accepted for an int32 argument")

    calls = [
        lambda: kernel(599)(10**6, -(10**6), 0, None),     # tuple of fresh ints
        lambda: echo_L(2**40 + 1),                         # fresh 64-bit int
        lambda: kernel(531)(-5, 1, 0, w),                  # 32-bit result
        lambda: kernel(290)(dims, 2**40),                  # product over an array
        refused,
    ]
    for c in calls:
        c()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(4000):
            for c in calls:
                c()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    # 20 000 calls: a leaked result or view would keep well over 500 kB.
    assert grown < 64 * 1024


@pytest.mark.parametrize("make", [
    pytest.param(lambda: np.zeros(6), id="numpy"),
    pytest.param(lambda: np.zeros(12)[::2], id="numpy-strided"),
    pytest.param(lambda: array.array("d", [0.0] * 6), id="array"),
    pytest.param(lambda: memoryview(bytearray(48)).cast("d"), id="memoryview"),
])
def test_array_arguments_keep_their_reference_counts(make):
    vals = make()
    before = sys.getrefcount(vals)
    for _ in range(50):
        kernel(336)(6, vals, 1.5)
        with pytest.raises(TypeError):
            kernel(336)(6, vals, "1.5")     # refused while parsing: no view taken
        with pytest.raises(ValueError):
            kernel(332)(vals, np.zeros(2, np.int32), 0)  # refused after the view
    assert sys.getrefcount(vals) == before
    assert list(vals) == [1.5] * 6


def test_array_list_entries_keep_their_reference_counts(probe):  # noqa: F811
    entries = [np.arange(3, dtype=np.int32), np.arange(4, dtype=np.int32)[::2]]
    outer = lists(*entries)
    counts = [sys.getrefcount(e) for e in entries] + [sys.getrefcount(outer)]
    for _ in range(50):
        assert probe.describe_lists(np.zeros(2, np.int32), outer, np.zeros(2, np.int64)) == 2
        with pytest.raises(ValueError):  # refused after every entry's view
            probe.describe_lists(np.zeros(2, np.int32), outer, np.zeros(2, np.int32))
    assert [sys.getrefcount(e) for e in entries] + [sys.getrefcount(outer)] == counts


# ------------------------------------------------------ scalar conversions

I32_MAX, I64_MAX = 2**31 - 1, 2**63 - 1

# (value, what "i" gives, what "L" gives): a number, or the error raised.
INTEGERS = [
    (0, 0, 0),
    (I32_MAX, I32_MAX, I32_MAX),
    (-I32_MAX - 1, -I32_MAX - 1, -I32_MAX - 1),
    (I32_MAX + 1, OverflowError, I32_MAX + 1),
    (-I32_MAX - 2, OverflowError, -I32_MAX - 2),
    (I64_MAX, OverflowError, I64_MAX),
    (-I64_MAX - 1, OverflowError, -I64_MAX - 1),
    (I64_MAX + 1, OverflowError, OverflowError),
    (-I64_MAX - 2, OverflowError, OverflowError),
    (True, 1, 1),
    (np.int32(-9), -9, -9),
    (np.int64(2**40), OverflowError, 2**40),
    (np.uint8(200), 200, 200),
    (Index(-12), -12, -12),
    (Index(2**40), OverflowError, 2**40),
    (1.0, TypeError, TypeError),
    (np.float64(2.0), TypeError, TypeError),
    ("3", TypeError, TypeError),
    (None, TypeError, TypeError),
    (Index(1.5), TypeError, TypeError),      # __index__ must give an int
    (Raises(), ArithmeticError, ArithmeticError),
]
# Objects that convert to int only through __int__.
INT_ONLY = [(IntOnly(5), 5), (decimal.Decimal("-2.75"), -2)]


@pytest.mark.parametrize("echo,col", [(echo_i, 1), (echo_L, 2)], ids=["i", "L"])
def test_integer_arguments_convert_as_the_interpreter_does(echo, col):
    for case in INTEGERS:
        value, want = case[0], case[col]
        if isinstance(want, type):
            with pytest.raises(want):
                echo(value)
        else:
            got = echo(value)
            assert type(got) is int and got == want, case


@pytest.mark.parametrize("echo", [echo_i, echo_L], ids=["i", "L"])
@pytest.mark.parametrize("value,want", INT_ONLY, ids=["int-only", "decimal"])
def test_int_only_objects_follow_the_interpreter_version(echo, value, want):
    if INT_ONLY_ACCEPTED:
        with pytest.warns(DeprecationWarning):
            assert echo(value) == want
    else:
        with pytest.raises(TypeError):
            echo(value)


FLOATS = [
    (0.25, 0.25),
    (-0.0, -0.0),
    (float("inf"), float("inf")),
    (3, 3.0),
    (2**53 + 1, float(2**53 + 1)),         # rounded to the nearest double
    (True, 1.0),
    (np.float32(0.1), float(np.float32(0.1))),
    (np.int64(-4), -4.0),
    (Index(6), 6.0),                        # __index__ alone is enough
    (FloatOnly(), 2.5),
    (decimal.Decimal("0.1"), 0.1),
    (fractions.Fraction(1, 3), 1 / 3),
    (10**400, OverflowError),
    (IntOnly(5), TypeError),                # __int__ alone is not
    ("0.5", TypeError),
    (None, TypeError),
    (1j, TypeError),
    (Raises(), ArithmeticError),
]


@pytest.mark.parametrize("value,want", FLOATS, ids=[f"{type(c[0]).__name__}-{k}" for k, c in enumerate(FLOATS)])
def test_double_arguments_convert_as_the_interpreter_does(value, want):
    if isinstance(want, type):
        with pytest.raises(want):
            echo_d(value)
    else:
        got = echo_d(value)
        assert got == want and np.signbit(got) == np.signbit(want)


def test_nan_double_argument_is_kept():
    assert np.isnan(echo_d(float("nan")))


BOOLS = [(True, True), (False, False), (0, False), (-3, True), (0.0, False), ([], False),
         ([0], True), ("", False), (None, False), (np.bool_(True), True), (np.array([0]), False)]


@pytest.mark.parametrize("value,want", BOOLS, ids=[repr(c[0]) for c in BOOLS])
def test_flag_arguments_take_the_truth_of_any_object(value, want):
    assert echo_p(value) is want


@pytest.mark.parametrize("value,error", [(Raises(), ArithmeticError), (np.array([1, 2]), ValueError)])
def test_flag_argument_whose_truth_fails_raises_that_error(value, error):
    with pytest.raises(error):
        echo_p(value)


# ------------------------------------------------- every kernel, many calls

# Every kernel called many times with the one-call check's acceptable
# arguments (arrays of ones refilled before each call, zero scalars), in a
# child process so that a fault names its kernel. Each round must leave flat:
# the reference counts of the arguments and of the first result and its
# items (a shared None, bool or small int among them), the memory traced by
# tracemalloc (results, views, numpy data) and the C heap in use (work
# arrays come from calloc, which tracemalloc does not see). A leak of one
# small object per call, 200 calls, exceeds either tolerance several times.
LEAK_CHILD = r"""
import ctypes, sys, tracemalloc
import numpy as np
sys.path.insert(0, sys.argv[1])
import fragments
from test_binding import CATALOGUE, CALL_LENGTHS, CALL_SCALARS, CALL_SHAPE2, EXPORTED, build_args, good_array

class MallInfo2(ctypes.Structure):
    _fields_ = [(f, ctypes.c_size_t) for f in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]
libc = ctypes.CDLL(None)
heap = getattr(libc, "mallinfo2", None)
if heap is not None:
    heap.restype = MallInfo2
def heap_used():
    if heap is None:
        return 0
    m = heap()
    return m.uordblks + m.hblkhd

CALLS = 200
for n in EXPORTED:
    sig = CATALOGUE[str(n)]
    arrays = [good_array(a, "l", CALL_SHAPE2.get(n, (64, 8)), CALL_LENGTHS.get(n, {}).get(a["name"], 64))
              for a in sig["arrays"]]
    numeric = [a for a in arrays if a.dtype != object]
    # A tuple is passed on as it is: a call with a list would build a new
    # argument tuple each time, and CPython 3.11 keeps freed tuples of 20
    # items in a free list it never takes them back from (up to 2000 of them).
    args = tuple(build_args(sig, arrays, CALL_SCALARS.get(n)))
    f = getattr(fragments, "_c_closure_%d" % n)
    def call():
        for a in numeric:
            a.fill(1)
        return f(*args)
    for _ in range(20):
        call()
    first = call()
    items = list(first) if type(first) is tuple else []
    # Arrays and fresh results exactly; shared objects (None, bools, small
    # ints) are counted by other code too: a leak would add one per call.
    watched = arrays + [x for x in [first] + items if sys.getrefcount(x) < 1000]
    shared = [x for x in [first] + items if sys.getrefcount(x) >= 1000]
    counts = [sys.getrefcount(x) for x in watched]
    shared_counts = [sys.getrefcount(x) for x in shared]
    used = heap_used()
    for _ in range(CALLS):
        call()
    grown_heap = heap_used() - used
    tracemalloc.start()
    start = tracemalloc.get_traced_memory()[0]
    for _ in range(CALLS):
        call()
    grown_traced = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    after = [sys.getrefcount(x) for x in watched]
    shared_after = [sys.getrefcount(x) for x in shared]
    if after != counts or any(abs(b - a) > CALLS // 10 for a, b in zip(shared_counts, shared_after)):
        print("COUNTS", n, counts, after, shared_counts, shared_after, flush=True)
    if grown_heap > 2048 or grown_traced > 2048:
        print("GROWN", n, grown_heap, grown_traced, flush=True)
print("DONE", flush=True)
"""


def test_every_kernel_called_many_times_leaks_nothing():
    import os
    import pathlib
    import subprocess
    here = str(pathlib.Path(__file__).parent)
    proc = subprocess.run([sys.executable, "-c", LEAK_CHILD, here], capture_output=True, text=True,
                          timeout=600, env=dict(os.environ))
    lines = proc.stdout.splitlines()
    assert proc.returncode == 0, f"stopped after {lines[-1:]}: {proc.stderr[-2000:]}"
    assert lines[-1:] == ["DONE"]
    assert lines == ["DONE"], lines[:20]
