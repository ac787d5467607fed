"""Weighted expansion of instance-keyed expressions, against numpy."""
import numpy as np
import pytest

import fragments as F

rng = np.random.default_rng(7)


def random_e(m=5, nvars=7):
    """An instance-keyed expression: ascending instances, row pointers, terms."""
    einst = np.sort(rng.choice(40, size=m, replace=False)).astype(np.int64)
    counts = rng.integers(0, 4, size=m)
    eptrb = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    esubj = rng.integers(0, nvars, size=eptrb[-1]).astype(np.int64)
    ecof = rng.integers(-9, 10, size=eptrb[-1]).astype(np.float64)
    ebfix = rng.integers(-9, 10, size=m).astype(np.float64)
    return einst, eptrb, esubj, ecof, ebfix


def dense_rows(ptrb, subj, cof, nvars=7):
    out = np.zeros((len(ptrb) - 1, nvars))
    for r in range(len(ptrb) - 1):
        np.add.at(out[r], subj[ptrb[r]:ptrb[r + 1]], cof[ptrb[r]:ptrb[r + 1]])
    return out


@pytest.mark.parametrize("n,m", [(3, 4), (1, 1), (0, 3), (2, 0)])
def test_outer_fixed_and_coefficients(n, m):
    a = rng.normal(size=n)
    einst, eptrb, esubj, ecof, ebfix = random_e(max(m, 1))
    einst, ebfix = einst[:m], ebfix[:m]
    bfix = np.full(n * m + 2, -5.0)
    F._c_closure_597(a, bfix, ebfix, einst)
    np.testing.assert_array_equal(bfix[:n * m], np.outer(a, ebfix).ravel())
    assert np.all(bfix[n * m:] == -5.0)
    F._c_closure_597(a, None, ebfix, einst)  # None: nothing written, no failure
    # one block of the outer product's coefficients, at a 64-bit position
    if n:
        cof = np.full(len(ecof) + 4, -5.0)
        F._c_closure_595(a, cof, ecof, n - 1, len(ecof), 2)
        np.testing.assert_array_equal(cof[2:2 + len(ecof)], a[n - 1] * ecof)
        assert np.all(cof[:2] == -5.0) and np.all(cof[2 + len(ecof):] == -5.0)


@pytest.mark.parametrize("shape,count", [((1, 3, 2, 1), 0), ((), 4), ((5, 1, 2), 1)])
def test_count_long_axes(shape, count):
    got = F._c_closure_593(np.asarray(shape, np.int32), count)
    assert got == count + int(np.sum(np.asarray(shape) >= 2))


@pytest.mark.parametrize("r", [0, 2])
def test_broadcast_by_instance(r):
    einst, eptrb, esubj, ecof, ebfix = random_e(6)
    # wanted instances: stored ones, repeats and one E does not store
    missing = int(max(einst.max(), 0) + 3)
    sub = np.asarray([einst[2], einst[0], missing, einst[2], einst[5]], np.int32)
    a = rng.normal(size=len(sub))
    n = len(sub)
    ptrb = np.full(r + n + 2, -1, np.int64)
    ptrb[r] = 10
    pos = F._c_closure_596(n, einst, eptrb, r, 10, ptrb, sub)
    lookup = {int(v): j for j, v in enumerate(einst)}
    lens = [eptrb[lookup[s] + 1] - eptrb[lookup[s]] if s in lookup else 0 for s in sub]
    np.testing.assert_array_equal(ptrb[r:r + n + 1], 10 + np.concatenate([[0], np.cumsum(lens)]))
    assert pos == 10 + sum(lens) and ptrb[r + n + 1] == -1
    subj = np.full(pos + 2, -1, np.int64)
    cof = np.full(pos + 2, np.nan)
    bfix = np.full(r + n + 1, -5.0)
    F._c_closure_594(a, bfix, cof, r, ebfix, ecof, einst, eptrb, esubj, ptrb, sub, subj)
    # oracle: row k is a[k] times E's row with that instance (zero if absent)
    edense = dense_rows(eptrb, esubj, ecof)
    want = np.array([a[k] * edense[lookup[s]] if s in lookup else np.zeros(7) for k, s in enumerate(sub)])
    got = dense_rows(ptrb[r:r + n + 1] - 10, subj[10:], cof[10:])
    np.testing.assert_allclose(got, want)
    wantfix = [a[k] * ebfix[lookup[s]] if s in lookup else 0.0 for k, s in enumerate(sub)]
    np.testing.assert_allclose(bfix[r:r + n], wantfix)
    assert np.all(subj[:10] == -1) and subj[pos] == -1 and bfix[r + n] == -5.0
    # without bfix the same terms, and nothing else is written
    subj2, cof2 = np.full(pos + 2, -1, np.int64), np.full(pos + 2, np.nan)
    F._c_closure_594(a, None, cof2, r, ebfix, ecof, einst, eptrb, esubj, ptrb, sub, subj2)
    np.testing.assert_array_equal(subj2, subj)
    np.testing.assert_array_equal(cof2, cof)


@pytest.mark.parametrize("sparse", [False, True])
def test_weights_times_variable(sparse):
    a = rng.normal(size=4)
    sub = np.asarray([3, 8, 9, 20], np.int32)
    inst, ptrb, subj, cof = (np.full(6, -1, np.int64), np.full(6, -1, np.int64),
                             np.full(6, -1, np.int64), np.full(6, np.nan))
    F._c_closure_598(a, cof, 4, inst, ptrb, sub, subj, sparse, 11)
    np.testing.assert_array_equal(inst[:4], sub if sparse else np.arange(4))
    np.testing.assert_array_equal(ptrb[:5], np.arange(5))
    np.testing.assert_array_equal(dense_rows(ptrb[:5], subj, cof, 12)[:, 11], a)
    assert inst[4] == -1 and subj[4] == -1 and ptrb[5] == -1


@pytest.mark.parametrize("with_fixed", [False, True])
def test_expression_to_stack(with_fixed):
    _, eptrb, esubj, ecof, ebfix = random_e(5)
    ptrb = eptrb + 4  # the terms start at 4 in subj / cof_v
    subj = np.concatenate([[-1] * 4, esubj]).astype(np.int64)
    cof_v = np.concatenate([[np.nan] * 4, ecof])
    shape = np.asarray([5, 1], np.int32)
    i32, i64, f64 = np.full(30, -9, np.int32), np.full(40, -9, np.int64), np.full(40, -9.0)
    F._c_closure_614(ebfix, 5, cof_v, f64, i32, i64, 0, 3, 2, 1, ptrb, shape, 2, subj, with_fixed)
    m = int(eptrb[-1]) + (5 if with_fixed else 0)
    assert list(i32[:2]) == [5, 1] and i32[2] == -9
    rp = i32[3:9]
    assert rp[0] == 0 and rp[-1] == m and i32[9] == -9
    got = dense_rows(rp, i64[2:2 + m], f64[1:1 + m], 8)
    want = dense_rows(eptrb, esubj, ecof, 8)
    if with_fixed:
        want[:, 0] += ebfix
    np.testing.assert_allclose(got, want)
    assert i64[2 + m] == -9 and f64[1 + m] == -9.0


@pytest.mark.parametrize("inst,ptrb,shape,want", [
    ([0, 2, 5], [0, 1, 1, 3], [2, 3], (True, True, True)),
    ([0, 2, 2], [0, 1, 1, 3], [2, 3], (False, True, True)),
    ([0, 2, 6], [0, 2, 1, 3], [2, 3], (True, False, False)),
    ([-1, 2, 5], [0, 1, 1, 3], [6], (True, True, False)),
    ([0, 2, 5], [0, 1, 3, 2], [2, 3], (True, False, True)),  # only the last pair out of order
    ([0, 3, 1], [0, 1, 1, 3], [2, 3], (False, True, True)),  # only the last instance out of order
    ([0, 2, 6], [0, 1, 1, 3], [2, 3], (True, True, False)),  # only the last instance out of range
])
def test_check_expression(inst, ptrb, shape, want):
    args = (np.asarray(inst, np.int64), True, 3, np.asarray(ptrb, np.int64), True, True, 1,
            np.asarray(shape, np.int32))
    assert F._c_closure_580(*args) == want
    # cleared flags stay cleared
    assert F._c_closure_580(args[0], False, 3, args[3], False, False, 1, args[7]) == (False,) * 3
