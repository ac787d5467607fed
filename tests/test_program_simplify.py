"""The simplifier keeps every program's value (program value plus fixed
term) for random parameter values while folding constants; malformed
programs stop the work at the reported position."""
import numpy as np
import pytest

import programs_model as pm
from conftest import kernel

PARAMS = np.array([0.5, -2.0, 3.0, 7.25, 1.5])


def simplify(programs, fix, err=-1):
    code = np.array([w for p in programs for w in p[0]] or [0], np.int32)
    consts = np.array([c for p in programs for c in p[1]] or [0.0])
    ptr = np.cumsum([0] + [len(p[0]) for p in programs]).astype(np.int32)
    fixterm = np.array(fix, float)
    room = len(code) + 2 * len(programs) + 8
    tcode = np.full(room, -5, np.int32)
    tconst = np.full(room, -5.0)
    tptr = np.full(len(programs) + 1, -5, np.int32)
    xi32, xf64 = np.zeros(8192, np.int32), np.zeros(2048)
    # X stack: child list 0.., child pointer 2000.., stack 4000.., types 6000..; values on xf64.
    out = kernel(386)(0, 2000, code, 0, consts, 0, 0, err, fixterm, 0, len(programs), ptr, 0, 4000, 0, tcode, 0,
                      tconst, 0, tptr, 0, 0, 6000, 0, xf64, xi32)
    return out, fixterm, tcode, tconst, tptr


def random_program(rng, depth=0):
    """A valid program tree in postfix form with integer-valued constants."""
    kind = rng.integers(0, 8 if depth < 3 else 2)
    if kind == 0:
        return [2], [float(rng.choice([0, 1, 2, -3]))]
    if kind == 1:
        return [1], [float(rng.integers(0, len(PARAMS)))]
    if kind in (2, 3, 4):
        a, b = random_program(rng, depth + 1), random_program(rng, depth + 1)
        return a[0] + b[0] + [(3, 5, 3)[kind - 2]], a[1] + b[1] + [0.0]
    if kind == 5:
        a = random_program(rng, depth + 1)
        return a[0] + [4], a[1] + [0.0]
    k = int(rng.integers(0, 5))
    parts = [random_program(rng, depth + 1) for _ in range(k)]
    return sum((p[0] for p in parts), []) + [8], sum((p[1] for p in parts), []) + [float(k)]


def test_random_programs_keep_their_values(rng):
    progs = [random_program(rng) for _ in range(60)]
    fix = rng.choice([0.0, 0.5, -2.0], size=len(progs))
    (O, err, _, _), newfix, tcode, tconst, tptr = simplify(progs, fix)
    assert err == -1 and tptr[-1] == O
    folded = 0
    for r, (w, c) in enumerate(progs):
        a, b = int(tptr[r]) if r else 0, int(tptr[r + 1])
        sw, sc = tcode[a:b].tolist(), tconst[a:b].tolist()
        assert len(sw) <= len(w) + 2
        for params in (PARAMS, np.random.default_rng(r).normal(size=len(PARAMS))):
            want = pm.value(w, c, params) + fix[r]
            got = (0.0 if sw == [10] else pm.value(sw, sc, params)) + newfix[r]
            assert got == pytest.approx(want, rel=1e-12, abs=1e-12)
        if sw == [10]:
            folded += 1
            assert 1 not in w or 5 in w       # only a product with zero hides a parameter
        else:
            assert newfix[r] == 0.0 and 10 not in sw
    assert folded > 0


CASES = [  # program, fixed term -> emitted, fixed term after
    (([2, 2, 5], [2.0, 3.0, 0.0]), 1.0, ([10], [0.0]), 7.0),
    (([1, 2, 5], [4.0, 1.0, 0.0]), 0.0, ([1], [4.0]), 0.0),
    (([1, 2, 5], [4.0, 1.0, 0.0]), 0.5, ([1, 2, 3], [4.0, 0.5, 0.0]), 0.0),
    (([2, 1, 3], [0.0, 4.0, 0.0]), 0.0, ([1], [4.0]), 0.0),
    (([1, 2, 1, 2, 8], [0.0, 1.5, 2.0, 2.5, 4.0]), 0.0, ([2, 1, 1, 8], [4.0, 2.0, 0.0, 3.0]), 0.0),
    (([1, 8], [3.0, 1.0]), 0.0, ([1], [3.0]), 0.0),           # a one-value sum is that value
    (([1, 4, 1, 6, 3], [1.0, 0.0, 2.0, 0.0, 0.0]), 0.0, ([1, 4, 1, 6, 3], [1.0, 0.0, 2.0, 0.0, 0.0]), 0.0),
]


@pytest.mark.parametrize("prog,fix,emitted,after", CASES)
def test_folding_cases(prog, fix, emitted, after):
    (O, err, _, _), newfix, tcode, tconst, _ = simplify([prog], [fix])
    assert err == -1 and (tcode[:O].tolist(), tconst[:O].tolist()) == emitted and newfix[0] == after


@pytest.mark.parametrize("bad,indicator", [(([1, 7], [0.0, 0.0]), 4), (([1, 1], [0.0, 1.0]), 2),
                                           (([3], [0.0]), 3), (([], []), 0)])
def test_a_malformed_program_stops_the_work(bad, indicator):
    good = ([1, 2, 3], [0.0, 1.0, 0.0])
    (O, err, _, _), fix, tcode, _, tptr = simplify([good, bad, good], [0.0, 0.0, 0.0])
    assert err == indicator           # instruction position, or node count for a wrong final depth
    assert tptr[1] == O == 3 and tptr[2] == -5 and tptr[3] == -5 and np.all(tcode[3:] == -5)
    assert simplify([good], [0.0], err=0)[0] == (0, 0, 0, 0)
