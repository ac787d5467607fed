"""Linked slot lists: chaining, walks, copies and run moves, checked against
plain Python lists of slots on strided next/prev arrays."""
import numpy as np
import pytest

from conftest import kernel

SENTINEL = -55


def strided(values):
    """int32 values as every second element of a larger array."""
    base = np.full(2 * len(values), SENTINEL, np.int32)
    view = base[::2]
    view[:] = values
    return base, view


def link(chains, size):
    """next/prev arrays (strided) threading each list of slots in `chains`."""
    nb, nxt = strided(np.full(size, 77))
    pb, prv = strided(np.full(size, 77))
    for ch in chains:
        for a, b in zip(ch, ch[1:] + [-1]):
            nxt[a] = b
            if b >= 0:
                prv[b] = a
        if ch:
            prv[ch[0]] = -1
    return nb, nxt, pb, prv


@pytest.mark.parametrize("first,end", [(3, 4), (3, 5), (2, 9), (6, 2), (0, 0), (0, 1), (0, 5)])
def test_chain_range_writes_only_inner_links(first, end):
    calls = [(656, (first, end))] + ([(650, (end,))] if first == 0 else [])
    for k, scalars in calls:
        nb, nxt = strided(np.full(10, 99))
        pb, prv = strided(np.full(10, 99))
        assert kernel(k)(*scalars, nxt, prv) is None
        exp_n, exp_p = [99] * 10, [99] * 10
        for s in range(first, end - 1):
            exp_n[s], exp_p[s + 1] = s + 1, s
        assert list(nxt) == exp_n and list(prv) == exp_p
        assert np.all(nb[1::2] == SENTINEL) and np.all(pb[1::2] == SENTINEL)


def test_walks_and_copies_follow_the_chain(rng):
    chain = [int(s) for s in rng.permutation(40)]
    _, nxt, _, _ = link([chain], 40)
    for start in (0, 5, 33):
        for n in (-1, 0, 1, 2, 7, 40 - start):
            steps = max(n - 1, 0)
            reached = chain[start + steps]
            assert kernel(655)(chain[start], nxt, n) == reached
            for init in (-1, 1000):
                expect_max = max([init] + chain[start + 1:start + 1 + steps])
                assert kernel(654)(chain[start], init, nxt, n) == (reached, expect_max)
            m = max(n, 0)
            follows = (chain + [-1])[start + m]
            for k in (653, 652):
                tb, target = strided(np.full(50, 8))
                r = kernel(k)(chain[start], nxt, n, 3, target)
                assert r == (None if k == 653 else follows)
                assert list(target) == [8] * 3 + chain[start:start + m] + [8] * (47 - m)
                assert np.all(tb[1::2] == SENTINEL)


def check_lists(nxt, prv, chains):
    for ch in chains:
        for i, s in enumerate(ch):
            assert nxt[s] == (ch[i + 1] if i + 1 < len(ch) else -1)
            assert prv[s] == (ch[i - 1] if i > 0 else -1)


# (source list, run start position, run length, destination list)
MOVES = [
    ([0, 1, 2, 3, 4], 0, 2, [5, 6]),      # run at the source head
    ([0, 1, 2, 3, 4], 2, 2, [5, 6]),      # inner run
    ([0, 1, 2, 3, 4], 3, 2, [5]),         # run ends the source list
    ([0, 1, 2, 3, 4], 1, 3, []),          # empty destination
    ([0, 1, 2, 3, 4], 0, 5, [6]),         # whole source list
    ([4, 2, 0], 1, 0, [6, 5]),            # length 0 moves one slot
    ([4, 2, 0], 1, 1, [6, 5]),
]


@pytest.mark.parametrize("src,pos,n,dst", MOVES)
def test_move_run_to_front_of_destination(src, pos, n, dst):
    nb, nxt, pb, prv = link([src, dst], 8)
    size = max(n, 1)
    run = src[pos:pos + size]
    new_src, new_dst = src[:pos] + src[pos + size:], run + dst
    dst_head, dst_tail = (dst[0], dst[-1]) if dst else (-1, -1)
    src_head = src[0]
    r = kernel(651)(dst_head, src_head, run[0], dst_tail, nxt, 10, n, prv)
    assert r == (run[0], new_src[0] if new_src else -1, new_dst[-1], 10 + n)
    check_lists(nxt, prv, [new_src, new_dst])
    assert np.all(nb[1::2] == SENTINEL) and np.all(pb[1::2] == SENTINEL)
