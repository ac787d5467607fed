"""Binding fuzz: for every kernel, an acceptable call (arrays of ones, zero
scalars, as in test_binding) with one to three of its arguments, or the call
itself, replaced by something the binding must refuse. The call raises the
error of the first refused argument in the order the binding takes them
(call shape, then the scalars and the not-None test left to right, then each
array in turn), never reaches the kernel, and leaves no buffer exported:
every resizable exporter passed can be resized afterwards."""
import array
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fragments
from conftest import CATALOGUE
from test_binding import EXPORTED, MESSAGE

DTYPES = {"int32": np.int32, "int64": np.int64, "float64": np.float64}
# Array.array typecodes accepted for each element type (int64 as "l" and "q").
GOOD_CODES = {"int32": ["i"], "int64": ["l", "q"], "float64": ["d"]}
# Every other numpy element type and array.array typecode is refused.
NUMPY_TYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
               np.float32, np.float64, np.complex128, np.bool_]
ARRAY_CODES = ["b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "f", "d"]
FOREIGN = {"int32": ">i4", "int64": ">i8", "float64": ">f8"}  # non-native byte order

I32_MAX, I64_MAX = 2**31 - 1, 2**63 - 1


class Falsy:
    def __bool__(self):
        raise ArithmeticError("from __bool__")


def accepts(spec, obj):
    """Whether the buffer format and dimension count of `obj` suit `spec`."""
    fmt = memoryview(obj).format
    ok = {"int32": ("i",), "int64": ("l", "q"), "float64": ("d",), "object": ("O",)}[spec["type"]]
    return memoryview(obj).ndim == spec["ndim"] and (fmt in ok if spec["type"] == "object" else fmt[:1] in ok)


@st.composite
def good_array(draw, spec):
    """An acceptable array: numpy, or a resizable array.array for 1-D ones."""
    if spec["type"] == "object":
        return np.array([None] * 4, dtype=object)
    if spec["ndim"] == 2:
        return np.ones((64, 8), DTYPES[spec["type"]])
    if draw(st.booleans()):
        return array.array(draw(st.sampled_from(GOOD_CODES[spec["type"]])), [1] * 64)
    return np.ones(64, DTYPES[spec["type"]])


@st.composite
def bad_array(draw, spec):
    """(refused object, expected error type): wrong element types (numpy or
    foreign exporters), wrong dimension counts, non-native byte order, each
    possibly strided or empty; None where refused; no buffer at all; object
    arrays whose elements are refused."""
    name, kind = spec["name"], spec["type"]
    value_error = (ValueError, MESSAGE.format(name))
    choices = ["dtype", "array.array", "bytes", "ndim", "no-buffer"]
    if kind != "object":
        choices.append("byte-order")
    if spec["not_none"]:
        choices.append("none")
    if kind == "object":
        choices.append("bad-element")
    what = draw(st.sampled_from(choices))
    length = draw(st.sampled_from([0, 1, 7, 64]))
    step = draw(st.sampled_from([1, 1, 3, -2]))
    if what == "none":
        return None, (TypeError, None)
    if what == "no-buffer":
        return draw(st.sampled_from([3, 2.5, "ab", object(), [1, 2]])), (TypeError, None)
    if what == "bytes":
        return draw(st.sampled_from([bytes(length), bytearray(length)])), value_error
    if what == "array.array":
        code = draw(st.sampled_from([c for c in ARRAY_CODES if c not in GOOD_CODES.get(kind, [])]))
        return array.array(code, [1] * length), value_error
    if what == "byte-order":
        shape = (length,) if spec["ndim"] == 1 else (length, 2)
        return np.ones(shape, FOREIGN[kind])[::step], value_error
    if what == "ndim":
        right = DTYPES.get(kind, object)
        ndims = [0, 2, 3] if spec["ndim"] == 1 else [0, 1, 3]
        nd = draw(st.sampled_from(ndims))
        a = np.ones((length,) + (2,) * (nd - 1), right) if nd else np.ones((), right)
        return (a[::step] if nd else a), value_error
    if what == "bad-element":
        elem, err = draw(st.sampled_from([
            (np.ones(3, np.int64), value_error), (np.ones((2, 2), np.int32), value_error),
            (bytearray(8), value_error), (np.ones(3, ">i4"), value_error), (7, (TypeError, None))]))
        k = draw(st.integers(0, 3))
        items = [draw(st.sampled_from([None, np.ones(2, np.int32)])) for _ in range(4)]
        items[k] = elem
        outer = np.empty(4, dtype=object)
        outer[:] = items
        return outer, err
    dtype = draw(st.sampled_from(NUMPY_TYPES))
    shape = (length,) if spec["ndim"] == 1 else (length, 3)
    a = (np.ones(shape, dtype) if kind != "object" or draw(st.booleans())
         else np.ones(shape, np.int32))[::step]
    if accepts(spec, a):  # the right type drawn by chance: refuse it by its dimensions
        a = a.reshape(a.shape + (1,))
    return a, value_error


def bad_scalar(code):
    """(refused value, expected error type) for a scalar of this format code."""
    if code == "i":
        return st.sampled_from([(1.0, TypeError), (None, TypeError), ("3", TypeError),
                                (I32_MAX + 1, OverflowError), (-I32_MAX - 2, OverflowError),
                                (2**80, OverflowError), (np.float64(2), TypeError)])
    if code == "L":
        return st.sampled_from([(0.5, TypeError), (None, TypeError), (b"1", TypeError),
                                (I64_MAX + 1, OverflowError), (-I64_MAX - 2, OverflowError)])
    if code == "d":
        return st.sampled_from([(None, TypeError), ("0.5", TypeError), (10**400, OverflowError),
                                (1j, TypeError)])
    return st.sampled_from([(Falsy(), ArithmeticError), (np.array([1, 2]), ValueError)])


SCALARS = {"i": 0, "L": 0, "p": False, "d": 0.0}


@st.composite
def refused_call(draw, n):
    """(args, kwargs, expected error type, expected message or None)."""
    sig = CATALOGUE[str(n)]
    specs = iter(sig["arrays"])
    slots = []  # (code, spec or None) per position
    for c in sig["format"]:
        slots.append((c, next(specs) if c == "O" else None))
    args = [draw(good_array(spec)) if c == "O" else SCALARS[c] for c, spec in slots]
    shape_error = draw(st.sampled_from([None, None, None, "fewer", "more", "keyword"]))
    k = draw(st.integers(0 if shape_error else 1, min(3, len(slots))))
    positions = draw(st.lists(st.integers(0, len(slots) - 1), min_size=k, max_size=k, unique=True))
    scalar_errors, array_errors = {}, {}
    for p in positions:
        c, spec = slots[p]
        if c == "O":
            args[p], array_errors[p] = draw(bad_array(spec))
        else:
            args[p], err = draw(bad_scalar(c))
            scalar_errors[p] = (err, None)
    kwargs = {}
    if shape_error == "fewer":
        args = args[:-1]
    elif shape_error == "more":
        args.append(draw(st.sampled_from([0, None, np.ones(2)])))
    elif shape_error == "keyword":
        kwargs = {draw(st.sampled_from(["n", "x", (sig["arrays"] or [{"name": "a"}])[0]["name"]])): 0}
    if shape_error:
        want = (TypeError, None)
    else:
        # Parsing goes left to right over the scalars (any object passes it
        # for an array); then the arrays are converted in order, the
        # not-None test being part of the conversion.
        want = scalar_errors[min(scalar_errors)] if scalar_errors else array_errors[min(array_errors)]
    return args, kwargs, want


def resizable(obj):
    """Exporters passed in the call (elements of object arrays included)
    that can be resized only while no view of them is held."""
    if isinstance(obj, (array.array, bytearray)):
        yield obj
    elif isinstance(obj, np.ndarray) and obj.dtype == object:
        for item in obj.ravel():
            yield from resizable(item)


def resize(obj):
    if isinstance(obj, array.array):
        obj.append(obj[0] if len(obj) else 0)
    else:
        obj.extend(b"\0")


# Three refused calls per kernel keep the whole fuzz to some seconds; the
# draws differ per kernel and per run (no database, no fixed seed).
FUZZ = settings(max_examples=3, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))


@pytest.mark.parametrize("n", [pytest.param(n, id=str(n)) for n in EXPORTED])
@FUZZ
@given(data=st.data())
def test_refused_calls_raise_their_error_and_release_every_buffer(n, data):
    args, kwargs, (error, message) = data.draw(refused_call(n))
    f = getattr(fragments, f"_c_closure_{n}")
    with pytest.raises(error) as exc:
        f(*args, **kwargs)
    if message is not None:
        assert str(exc.value) == message
    for obj in [a for arg in args for a in resizable(arg)]:
        resize(obj)  # BufferError while any view of it is still exported


def test_refused_calls_keep_reference_counts():
    """The same refused call many times leaves the counts of its arguments."""
    n = 295  # "iOO": copies n entries; an int64 array is refused for the source
    dst, src = array.array("i", [0] * 8), np.ones(8, np.int64)
    before = sys.getrefcount(dst), sys.getrefcount(src)
    for _ in range(200):
        with pytest.raises(ValueError):
            getattr(fragments, f"_c_closure_{n}")(4, dst, src)
    assert (sys.getrefcount(dst), sys.getrefcount(src)) == before
    assert list(dst) == [0] * 8
