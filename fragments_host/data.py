"""Constant data proven clean before it enters a model. The kernels trust
their caller: a NaN reaches the solver as a number, a float index is
truncated, an index past a sparse matrix's extent is read out of bounds.
So every number, array, index and sparse matrix a user hands the package
passes one of these checks first, and what cannot be honoured is refused
with an error that names where it was written:

    NaN, and +-inf where it has no meaning      DataError (a ValueError)
    complex values, strings, objects            DataError
    float or boolean indices                    IndexError (as numpy's)
    sizes that are not integers                 TypeError (as numpy's)
    a malformed scipy sparse matrix             DataError

Each check is one or two numpy passes over the data (O(n)); numbers take
a path of their own."""
from __future__ import annotations

import math
import numbers
import operator

import numpy as np

from .errors import DataError, ShapeError

F64 = np.float64

# numbers taken as they are, without numpy
NUMBERS = frozenset((float, int, np.float64, np.float32, np.int64, np.int32))


def _what(what):
    """The place a value was written: a text, or (format, operands...) spelled
    only when an error names it."""
    if type(what) is tuple:
        return what[0].format(*map(repr, what[1:]))
    return what


def _first_bad(bad):
    """The position of the first True of a boolean array, as text."""
    k = int(np.flatnonzero(bad.reshape(-1))[0])
    if bad.ndim <= 1:
        return f"[{k}]"
    return str(tuple(int(i) for i in np.unravel_index(k, bad.shape)))


def number(value, what, infinite=False):
    """A real number (a Python or numpy number, or an array of one element)
    as a float; NaN refused, and infinities unless `infinite`."""
    if type(value) in NUMBERS:
        v = float(value)
    else:
        arr = real(value, what, infinite=infinite)
        if arr.size != 1:
            raise ShapeError(f"{_what(what)} is a number, not an array of shape {arr.shape}")
        return float(arr.reshape(-1)[0])
    if v != v:
        raise DataError(f"{_what(what)} is NaN: NaN has no meaning in a model (a missing value?)")
    if not infinite and not math.isfinite(v):
        raise DataError(f"{_what(what)} is {v}: an infinite value has no meaning here")
    return v


def all_finite(arr):
    """Whether every entry of a float array is finite: for a small array,
    its sum in Python floats is (NaN and the infinities carry through a
    sum; a sum of large finite entries can overflow, and then each entry is
    checked)."""
    if arr.size <= 64 and math.isfinite(sum(arr.ravel().tolist())):
        return True
    return bool(np.isfinite(arr).all())


def real(value, what, infinite=False, copy=False):
    """A number or numeric array as a float64 array, every entry checked:
    complex values, strings and other objects refused, NaN refused, and
    infinities unless `infinite`. With `copy`, the result never shares
    memory with the caller's array."""
    if type(value) in NUMBERS:
        arr = np.asarray(number(value, what, infinite), F64)
        return arr
    if hasattr(value, "tocsr") or hasattr(value, "toarray"):
        raise DataError(f"{_what(what)} is a sparse matrix where a number or dense array is taken")
    try:
        raw = np.asarray(value)
    except (TypeError, ValueError) as exc:
        raise DataError(f"{_what(what)} is not a numeric array: {exc}") from None
    kind = raw.dtype.kind
    if kind == "c":
        raise DataError(f"{_what(what)} holds complex values: the models are real (take .real or abs() "
                        "first if that is meant)")
    if kind not in "fiub":
        if kind == "O":
            # numbers of other types (Fraction, ...) are taken; None and other
            # objects, which numpy would turn into NaN or refuse, are not
            if not all(isinstance(v, numbers.Real) for v in raw.flat):
                raise DataError(f"{_what(what)} is neither an expression nor a number or numeric array")
            raw = raw.astype(F64)
        else:
            raise DataError(f"{_what(what)} of type {raw.dtype} is not numeric")
    arr = raw.astype(F64, copy=copy) if raw.dtype != F64 or copy else raw
    if (kind == "f" or kind == "O") and not all_finite(arr):
        if np.isnan(arr).any():
            raise DataError(f"{_what(what)} holds NaN at {_first_bad(np.isnan(arr))}: NaN has no meaning "
                            "in a model (a missing value?)")
        if not infinite:
            raise DataError(f"{_what(what)} holds an infinite value at {_first_bad(~np.isfinite(arr))}: an "
                            "infinite value has no meaning here")
    return arr


# the relative tolerance of checks on values the solver may have rounded
# (symmetry, semidefiniteness, bounds of values set by the user)
TOLERANCE = 1e-8


def tolerance(arr):
    """The absolute tolerance for entries of `arr`: TOLERANCE times its
    largest magnitude, or times 1 when that is smaller."""
    return TOLERANCE * max(1.0, float(np.abs(arr).max(initial=0.0)))


def symmetric(arr, what):
    """A checked array whose last two axes are square, symmetric within
    `tolerance`, returned symmetrised; DataError naming the first pair of
    entries that differ."""
    t = np.swapaxes(arr, -1, -2)
    bad = np.abs(arr - t) > tolerance(arr)
    if bad.any():
        at = np.unravel_index(int(np.flatnonzero(bad)[0]), arr.shape)
        i, j = int(at[-2]), int(at[-1])
        lead = ", ".join(map(str, at[:-2])) + ", " if len(at) > 2 else ""
        raise DataError(f"{_what(what)} is not symmetric: entries ({lead}{i}, {j}) and ({lead}{j}, {i}) differ "
                        f"({arr[at]:g} and {arr[at[:-2] + (j, i)]:g})")
    return (arr + t) * 0.5


def indices(value, what):
    """Integer indices as an int64 array: floats and booleans refused, as
    numpy refuses them as indices (a float is not truncated)."""
    raw = np.asarray(value)
    if raw.dtype.kind not in "iu":
        if raw.size == 0 and raw.dtype.kind == "f":
            return raw.astype(np.int64)
        shown = raw.reshape(-1)[:3].tolist()
        raise IndexError(f"{_what(what)}: indices must be integers, not {raw.dtype} "
                         f"({', '.join(map(str, shown))}{', ...' if raw.size > 3 else ''})")
    if raw.dtype.kind == "u" and raw.size and int(raw.max()) >= 2**63:
        raise IndexError(f"{_what(what)}: index {int(raw.max())} out of range")
    return raw.astype(np.int64, copy=False)


def size(value, what):
    """A size or an extent: a Python or numpy integer (not a bool, not a
    float, which numpy refuses as sizes too)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{_what(what)}: {value!r} is not a size")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{_what(what)}: {value!r} is not an integer size") from None


def shape(value, what):
    """A shape: a size, or a sequence of sizes."""
    if type(value) is tuple and all(type(n) is int for n in value):
        return value
    if isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_)):
        return (operator.index(value),)
    try:
        items = tuple(value)
    except TypeError:
        raise TypeError(f"{_what(what)}: {value!r} is not a shape (a size or a sequence of sizes)") from None
    return tuple(size(n, what) for n in items)


def sparse(M, what):
    """A scipy sparse matrix as a compressed-row matrix whose structure is
    proven sound: pointers of the right length, starting at 0, monotone and
    ending within the entries, as many values as indices, every index
    within the extent, every value finite. Entries scipy sums (repeated
    positions) and unsorted rows are taken as scipy reads them. The user's
    matrix is never changed."""
    import scipy.sparse as sp
    fmt = getattr(M, "format", None)
    if fmt in ("csr", "csc"):
        _compressed(M, what)
    elif fmt == "coo":
        _coordinates(M, what)
    R = sp.csr_matrix(M)
    if fmt not in ("csr", "csc", "coo"):
        _compressed(R, what)
    if R.nnz and not np.isfinite(R.data).all():
        bad = ~np.isfinite(R.data)
        kind = "NaN" if np.isnan(R.data).any() else "an infinite value"
        raise DataError(f"{_what(what)}: the sparse matrix holds {kind} ({int(bad.sum())} of its {R.nnz} "
                        "stored values are not finite)")
    if R.dtype.kind == "c":
        raise DataError(f"{_what(what)}: the sparse matrix holds complex values: the models are real")
    if R.dtype != F64:
        R = R.astype(F64)
    if not R.has_canonical_format:
        # summed in place: on a copy when the arrays are the caller's
        if R is M or any(np.shares_memory(R.indices, getattr(M, k)) or np.shares_memory(R.data, getattr(M, k))
                         for k in ("data", "indices", "indptr", "row", "col") if hasattr(M, k)):
            R = R.copy()
        R.sum_duplicates()
    return R


def _compressed(M, what):
    """The structure of a compressed-row or compressed-column matrix."""
    major, minor = M.shape if M.format == "csr" else M.shape[::-1]
    ptr, idx, data = np.asarray(M.indptr), np.asarray(M.indices), np.asarray(M.data)
    name = "row" if M.format == "csr" else "column"
    other = "column" if M.format == "csr" else "row"
    bad = None
    if ptr.ndim != 1 or idx.ndim != 1 or data.ndim != 1:
        bad = "its index arrays are not one-dimensional"
    elif ptr.dtype.kind not in "iu" or idx.dtype.kind not in "iu":
        bad = "its index arrays are not of an integer type"
    elif len(ptr) != major + 1:
        bad = f"its {name} pointer holds {len(ptr)} entries for {major} {name}s (not {major + 1})"
    elif len(idx) != len(data):
        bad = f"it holds {len(idx)} {other} indices and {len(data)} values"
    elif int(ptr[0]) != 0:
        bad = f"its {name} pointer starts at {int(ptr[0])}, not 0"
    elif major and (np.diff(ptr) < 0).any():
        k = int(np.flatnonzero(np.diff(ptr) < 0)[0])
        bad = f"its {name} pointer decreases after {name} {k}"
    elif int(ptr[-1]) > len(idx):
        bad = f"its {name} pointer ends at {int(ptr[-1])}, past its {len(idx)} entries"
    else:
        used = idx[:int(ptr[-1])]
        if used.size and (int(used.min()) < 0 or int(used.max()) >= minor):
            k = int(np.flatnonzero((used < 0) | (used >= minor))[0])
            bad = (f"its entry {k} has {other} index {int(used[k])}, outside 0 .. {minor - 1} of a matrix of "
                   f"shape {M.shape}")
    if bad is not None:
        raise DataError(f"{_what(what)}: the sparse {M.format} matrix is malformed: {bad}")


def _coordinates(M, what):
    """The structure of a coordinate matrix."""
    coords = [np.asarray(M.row), np.asarray(M.col)]
    data = np.asarray(M.data)
    bad = None
    if any(len(c) != len(data) for c in coords):
        bad = f"it holds {len(coords[0])} rows, {len(coords[1])} columns and {len(data)} values"
    else:
        for c, n, axis in zip(coords, M.shape, ("row", "column")):
            if c.size and (c.dtype.kind not in "iu" or int(c.min()) < 0 or int(c.max()) >= n):
                bad = f"a {axis} index lies outside 0 .. {n - 1} of a matrix of shape {M.shape}"
                break
    if bad is not None:
        raise DataError(f"{_what(what)}: the sparse coo matrix is malformed: {bad}")
