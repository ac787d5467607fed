"""Solution mapping against a plain Python model of the native-index rules:
variable elements j > 0 (scalar), j < 0 (semidefinite element ~j), j = 0
(the value 0); constraint elements j >= 0 (linear row), j < 0 (affine conic
element ~j, scaled); with the sign flip and the scale, plus range zeroing
and bound-dual differences."""
import math

import numpy as np
import pytest

from conftest import kernel

I32, I64 = np.int32, np.int64


@pytest.fixture
def sol(rng):
    """Solver vectors and the affine conic tables of 3 constraints."""
    s = {k: rng.normal(size=12) for k in ("xx", "barx", "bars", "yx", "accx", "accy", "xc", "y")}
    s["xx"][4] = 0.0                                   # its negation is -0.0
    s["accptr"] = np.array([0, 4, 7], I32)
    s["accid"] = np.array([2, 0, 1, 0, 2], I32)
    s["ofs"] = np.array([1, 3, 0, 2, 0], I32)
    s["scale"] = np.array([1.0, 2.0**-0.5, 1.0, 3.0, -1.0])
    s["acc_idx"] = np.full(12, -1, I32)
    s["acc_idx"][[2, 5]] = [1, 2]
    s["acc_ofs"] = np.full(12, 99, I32)
    s["acc_ofs"][[2, 5]] = [2, 1]
    return s


def var_model(j, s, what):
    if j == 0:
        return 0.0
    if what == "scalar":
        return s["xx"][j] if j > 0 else 0.0
    if what == "negated":
        return -s["xx"][j] if j > 0 else 0.0
    if what == "primal":
        return s["xx"][j] if j > 0 else s["barx"][-j - 1]
    # dual
    if j < 0:
        return s["bars"][-j - 1]
    a = s["acc_idx"][j]
    return s["yx"][j] if a < 0 else s["accy"][s["accptr"][a] + s["acc_ofs"][j]]


def con_model(j, s, acc, row):
    if j >= 0:
        return s[row][j]
    e = -j - 1
    return s[acc][s["accptr"][s["accid"][e]] + s["ofs"][e]] * s["scale"][e]


VAR_CASES = [
    (17, "scalar", lambda s, n, nat, r, res: (n, nat, r, res, s["xx"])),
    (18, "negated", lambda s, n, nat, r, res: (n, nat, r, res, s["xx"])),
    (19, "primal", lambda s, n, nat, r, res: (s["barx"], n, nat, r, res, s["xx"])),
    (20, "dual", lambda s, n, nat, r, res: (s["accptr"], s["accy"], s["bars"], n, nat, r, res,
                                            s["acc_idx"], s["acc_ofs"], s["yx"])),
]


def same(a, b):
    return all(x == y and math.copysign(1, x) == math.copysign(1, y) for x, y in zip(a, b))


@pytest.mark.parametrize("k,what,args", VAR_CASES)
def test_variable_elements(k, what, args, sol):
    nat = np.array([3, 0, -2, 4, 5, -1, 2, 11], I64)
    res = np.full(12, -5.0)
    kernel(k)(*args(sol, len(nat) - 1, nat, 2, res))
    want = [-5.0, -5.0] + [var_model(int(j), sol, what) for j in nat[:-1]] + [-5.0] * 3
    assert same(res.tolist(), want), (res, want)


@pytest.mark.parametrize("k,acc,row", [(16, "accy", "y"), (15, "accx", "xc")])
def test_constraint_elements(k, acc, row, sol):
    nat = np.array([3, -1, -2, 0, -5, -4, 7, -3], I32)
    res = np.full(10, -5.0)
    kernel(k)(sol["accptr"], sol[acc], sol["accid"], sol["ofs"], sol["scale"], len(nat), nat[::1], 1, res,
              sol[row])
    want = [-5.0] + [con_model(int(j), sol, acc, row) for j in nat] + [-5.0]
    np.testing.assert_array_equal(res, want)


@pytest.mark.parametrize("s,e", [(2, 6), (5, 3), (0, 0)])
def test_range_zeroing(s, e, rng):
    for k, nvec, returns in [(133, 4, False), (132, 4, True), (131, 3, False), (130, 4, True)]:
        vecs = [rng.normal(size=8) for _ in range(nvec)]
        before = [v.copy() for v in vecs]
        out = kernel(k)(e, vecs[0], s, *vecs[1:])
        assert out == ((e if s < e else s) if returns else None)
        for v, b in zip(vecs, before):
            b[s:e] = 0.0
            np.testing.assert_array_equal(v, b)


def test_bound_duals_and_value_pairs(rng):
    sl, su = rng.normal(size=6), rng.normal(size=6)
    for k in (24, 23):
        y = np.full(6, 9.0)
        kernel(k)(4, sl, su, y)
        np.testing.assert_array_equal(y, np.r_[sl[:4] - su[:4], 9.0, 9.0])
    nat = np.array([4, -1, 0, 2**33 + 3, -7, 6], I64)
    assert kernel(21)(nat, 10) == 10 + int(np.sum(nat >= 0))
    values = rng.normal(size=6)
    subj, val = np.full(8, -1, I32), np.full(8, -1.0)
    keep = nat >= 0
    assert kernel(22)(1, nat, subj, val, values) == 1 + keep.sum()
    np.testing.assert_array_equal(subj[1:1 + keep.sum()], nat[keep].astype(I32))    # low 32 bits
    np.testing.assert_array_equal(val[1:1 + keep.sum()], values[keep])
    assert subj[0] == -1 and val[0] == -1.0
