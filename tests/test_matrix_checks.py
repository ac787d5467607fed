"""Matrix operand checks against a plain model: range over every entry,
strict row-major order over consecutive pairs; flags only accumulate."""
import numpy as np
import pytest

from conftest import kernel

M, N = 3, 4
CASES = [([], []), ([0], [3]), ([0, 0, 2], [1, 3, 0]), ([0, 0], [1, 1]), ([1, 0], [0, 3]), ([3], [0]),
         ([0, 1], [4, 0]), ([-1, 0], [0, 0]), ([2, 2, 1], [0, 5, 9])]


def model(i, j, count):
    i, j = i[:count], j[:count]
    out = any(not (0 <= a < M and 0 <= b < N) for a, b in zip(i, j))
    bad = any((i[k], j[k]) >= (i[k + 1], j[k + 1]) for k in range(len(i) - 1))
    return out, bad


@pytest.mark.parametrize("i,j", CASES)
def test_triplet_checks(i, j):
    si, sj = np.array(i, np.int32), np.array(j, np.int32)
    out, bad = model(i, j, len(i))
    assert kernel(497)(False, si, sj) is bad and kernel(497)(True, si, sj) is True
    assert kernel(496)(False, M, N, si, sj) is out and kernel(496)(True, M, N, si, sj) is True
    assert kernel(495)(M, N, si, sj, True) is (not out and not bad) and kernel(495)(M, N, si, sj, False) is False
    for n in (472, 465, 460):
        for count in range(len(i) + 1):
            assert kernel(n)(False, False, M, N, count, si, sj) == model(i, j, count)
        assert kernel(n)(True, True, M, N, len(i), si, sj) == (True, True)
    L = M * N
    lin = np.array([a * N + b for a, b in zip(i, j)], np.int64)
    want = (any(not 0 <= x < L for x in lin), any(lin[k] >= lin[k + 1] for k in range(len(lin) - 1)))
    assert kernel(466)(False, False, lin, L) == want
