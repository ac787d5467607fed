"""The checked build: an access outside a view raises IndexError naming the
kernel, the argument and the index, with every view released and the writes
made before it kept; a zero index divisor raises ZeroDivisionError. The
release build carries none of these tests."""
import array

import numpy as np
import pytest

import fragments as release
from reference_build import cached_checked, load


@pytest.fixture(scope="module")
def checked():
    so = cached_checked()
    if so is None:
        pytest.skip("no C++ compiler to build the checked variant")
    return load(so)


def strided(values, dtype, pad=0):
    """A view of every second element of a larger array (`pad` spare
    elements beyond its end)."""
    wide = np.full(2 * len(values) + pad, -7, dtype)
    wide[: 2 * len(values) : 2] = values
    return wide[: 2 * len(values) : 2], wide


@pytest.mark.parametrize("layout", ["contiguous", "strided"])
def test_vector_fault_names_kernel_argument_index_and_keeps_earlier_writes(checked, layout):
    # res[e] = param_value[idxs[e]]: entry 2 of idxs reads past param_value.
    idxs = np.array([1, 0, 70, 2], np.int32)
    pv = np.arange(10.0) + 0.5
    if layout == "contiguous":
        res, backing = np.full(4, -1.0), None
    else:
        res, backing = strided([-1.0] * 4, np.float64)
    with pytest.raises(IndexError, match=r"^_c_closure_101: index 70 is out of range for argument "
                                         r"'param_value' of 10 elements$"):
        checked._c_closure_101(idxs, pv, res)
    assert res.tolist() == [1.5, 0.5, -1.0, -1.0]
    if backing is not None:
        assert backing[1::2].tolist() == [-7.0] * 4  # between the strided entries: untouched
    # A result view shorter than idxs: the write past its end is the fault.
    with pytest.raises(IndexError, match=r"index 2 is out of range for argument 'res' of 2 elements"):
        checked._c_closure_101(np.array([3, 4, 5], np.int32), pv, np.zeros(2))
    # None is a view of no elements.
    with pytest.raises(IndexError, match=r"index 0 is out of range for argument 'res' of 0 elements"):
        checked._c_closure_101(np.array([3], np.int32), pv, None)


def test_views_are_released_after_a_fault(checked):
    idxs, pv, res = array.array("i", [0, 9]), array.array("d", [1.0, 2.0]), array.array("d", [0.0, 0.0])
    with pytest.raises(IndexError):
        checked._c_closure_101(idxs, pv, res)
    for a in (idxs, pv, res):
        a.append(a[0])  # a buffer still exported would refuse the resize
    assert list(res) == [1.0, 0.0, 1.0]


def test_matrix_fault_names_both_indices_and_extents(checked):
    # vals[k] = values2[sp[k] div cols, sp[k] mod cols]; sp = 7 lies below
    # the 2 x 3 matrix.
    vals = np.zeros(2)
    values2 = np.arange(6.0).reshape(2, 3)
    with pytest.raises(IndexError, match=r"^_c_closure_333: index \(2, 1\) is out of range for argument "
                                         r"'values2' of 2 x 3 elements$"):
        checked._c_closure_333(None, np.array([5, 7], np.int64), vals, values2)
    assert vals.tolist() == [5.0, 0.0]


def test_array_list_entry_fault_names_the_list(checked):
    # Stacking along axis 3 of operands with 2 axes reads past the shape.
    shapes = np.empty(2, object)
    shapes[0], shapes[1] = np.array([4, 5], np.int32), np.array([4, 5], np.int32)
    resshape = np.zeros(4, np.int32)
    with pytest.raises(IndexError, match=r"_c_closure_451: index 2 is out of range for argument 'shapes' "
                                         r"of 2 elements"):
        checked._c_closure_451(3, resshape, shapes)
    assert resshape.tolist() == [4, 5, 0, 0]
    checked._c_closure_451(1, resshape, shapes)
    assert resshape.tolist() == [4, 2, 5, 0]


@pytest.mark.parametrize("by_column, n", [(True, 365), (False, 374)])
def test_zero_divisor_raises_zero_division(checked, by_column, n):
    # Pattern counts over a parameter matrix of 0 columns.
    xi32, xi64 = np.zeros(8, np.int32), np.array([1, 4], np.int64)
    with pytest.raises(ZeroDivisionError, match=rf"^_c_closure_{n}: integer division or modulo by zero$"):
        getattr(checked, f"_c_closure_{n}")(0, 2, 0, 0, xi32, xi64)
    assert not xi32.any()
    # With a divisor the checked and the release build agree.
    for mod in (checked, release):
        out = np.zeros(8, np.int32)
        getattr(mod, f"_c_closure_{n}")(3, 2, 0, 0, out, xi64)
        assert out.tolist() == ([0, 0, 2, 0, 0, 0, 0, 0] if by_column else [0, 1, 1, 0, 0, 0, 0, 0])


def test_contiguous_copy_checks_both_ends(checked):
    # A block copy of n int32 entries from the W to the R stack: the copy
    # past the end of the R stack faults before any entry is written.
    ri32, wi32 = np.zeros(4, np.int32), np.arange(1, 9, dtype=np.int32)
    with pytest.raises(IndexError, match=r"_c_closure_576: index 5 is out of range for argument 'ri32' of 4"):
        checked._c_closure_576(4, ri32, 2, 0, wi32)
    assert not ri32.any()
    checked._c_closure_576(2, ri32, 2, 0, wi32)
    assert ri32.tolist() == [0, 0, 1, 2]


def test_release_build_does_not_check():
    # The write one past a strided view lands inside its backing array: the
    # release build makes it, unchecked.
    res, wide = strided([0.0, 0.0], np.float64, pad=1)
    release._c_closure_101(np.array([1, 0, 2], np.int32), np.array([5.0, 6.0, 7.0]), res)
    assert wide.tolist() == [6.0, -7.0, 5.0, -7.0, 7.0]


@pytest.mark.parametrize("q", [3, 4])
def test_suffix_view_counts_from_its_origin_and_ends_with_the_array(checked, q):
    # 396 reads parameter q at xf64[xparam + q] through a view of xf64 from
    # xparam on: q = 3 is the last element, q = 4 one past the end.
    wi32 = np.array([0, 1, 0, 1, 1], np.int32)        # row pointer, program pointer, "push parameter"
    wi64, wf64 = np.array([5], np.int64), np.array([1.0, float(q)])
    xf64 = np.arange(8.0) * 10
    ri32, ri64, rf64, xi32 = np.zeros(2, np.int32), np.zeros(1, np.int64), np.zeros(1), np.zeros(1, np.int32)
    args = (0, 0, 0, True, 1, 4, 2, 0, 0, 0, 1, 0, rf64, False, ri32, ri64, 0, 0, 0, 0, wf64, wi32, wi64, 0, 4, 0,
            xf64, xi32)
    if q == 3:
        assert checked._c_closure_396(*args) == (1, 1, 0) and rf64[0] == 1.0 + 70.0
    else:
        with pytest.raises(IndexError, match=r"^_c_closure_396: index 8 is out of range for argument 'xf64' "
                                             r"of 8 elements$"):
            checked._c_closure_396(*args)
