"""Constant expressions drop zero entries; shape and sparsity copies."""
import numpy as np
import pytest

from conftest import kernel
from stacks import Stack


@pytest.mark.parametrize("bfix", [[0.0, 2.5, 0.0, -1.0], [np.nan, -0.0, 3.0], [], [0.0, 0.0]])
def test_constant_expression_keeps_the_nonzero_values(bfix):
    b = np.array(bfix, float)
    R = Stack(256, strided=True)
    ptr, nid, cof = R.reserve("i32", len(b) + 1), R.reserve("i64", len(b)), R.reserve("f64", len(b))
    T = kernel(410)(b, len(b), 4, cof - 4, R.f64, R.i32, R.i64, nid - 4, ptr)
    keep = [x for x in bfix if x != 0.0]
    assert T - 4 == len(keep) == kernel(407)(b, 0)
    assert R.i32[ptr + 1:ptr + len(b) + 1].tolist() == (4 + np.cumsum(b != 0.0)).tolist()
    assert R.i32[ptr] == Stack.SENT32 and np.all(R.i64[nid:nid + T - 4] == 0)
    np.testing.assert_array_equal(R.f64[cof:cof + T - 4], keep)
    assert R.sentinels_intact() and R.f64[cof + T - 4] == Stack.SENTF


def test_copies():
    R, W = Stack(64), Stack(64)
    kernel(408)(2, R.i32, 5, np.array([3, 4, 9], np.int32))
    assert R.i32[4:8].tolist() == [Stack.SENT32, 3, 4, Stack.SENT32]
    sp = np.array([1, 5, 7], np.int64)
    kernel(409)(False, 3, R.i64, 10, sp)
    assert np.all(R.i64[10:13] == Stack.SENT64)
    kernel(409)(True, 3, R.i64, 10, sp)
    src = W.put("i64", sp)
    for n, dst in ((405, 20), (391, 25)):
        kernel(n)(True, 2, R.i64, dst, src, W.i64)
    assert R.i64[10:13].tolist() == [1, 5, 7] and R.i64[20:23].tolist() == [1, 5, Stack.SENT64]
    assert R.i64[25:27].tolist() == [1, 5] and kernel(407)(None, 3) == 3
