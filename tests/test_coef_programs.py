import math

import numpy as np
import pytest

import programs_model as pm
from conftest import kernel
from stacks import Expr, Stack, random_expr

PARAMS = np.array([0.5, -2.0, 3.0, 7.25])


def strided(a, on):
    """`a` as is, or as every second element of a larger array."""
    a = np.asarray(a)
    if not on:
        return a.copy()
    big = np.zeros(2 * max(len(a), 1), a.dtype)
    v = big[::2][:len(a)]
    v[:] = a
    return v


class Table:
    """A parameter table from rows of entries (words, constants, variable)."""

    def __init__(self, rows, nrows=None, gap=2, on=False):
        code, cconst, sizes, varidx = [], [], [], []
        nrows = len(rows) if nrows is None else nrows
        ptrb, ptre, rcp = [0] * nrows, [0] * nrows, [0] * nrows
        for r, entries in enumerate(rows):
            code += [0] * gap          # rows' programs need not be adjacent
            cconst += [0.0] * gap
            ptrb[r] = len(sizes)
            rcp[r] = len(code)
            for words, consts, var in entries:
                code += list(words)
                cconst += list(consts)
                sizes.append(len(words))
                varidx.append(var)
            ptre[r] = len(sizes)
        self.code = strided(np.asarray(code, np.int32), on)
        self.cconst = strided(np.asarray(cconst, np.float64), on)
        self.sizes = strided(np.asarray(sizes, np.int32), on)
        self.varidx = strided(np.asarray(varidx, np.int64), on)
        self.ptrb = strided(np.asarray(ptrb, np.int32), on)
        self.ptre = strided(np.asarray(ptre, np.int32), on)
        self.rcp = strided(np.asarray(rcp, np.int32), on)
        self.nentries = len(sizes)

    def evaluate(self, params=PARAMS, out=0, base=0, depth=0, xf64=None, on=False):
        m = self.nentries + out
        self.subi = strided(np.full(m, -1, np.int32), on)
        self.subj = strided(np.full(m, -1, np.int32), on)
        self.val = strided(np.full(m, np.nan), on)
        self.xf64 = strided(np.full(32, 99.0), on) if xf64 is None else xf64
        return kernel(134)(self.cconst, self.code, out, self.sizes, np.asarray(params, np.float64), self.varidx,
                           self.rcp, self.ptrb, self.ptre, base, depth, self.subi, self.subj, self.val,
                           self.xf64)

    def model(self, params=PARAMS, out=0, stack=None):
        if stack is None:
            stack = pm.ValueStack([99.0])   # what evaluate() leaves in the value stack
        return pm.evaluate_table(self.code, self.cconst, self.sizes, params, self.varidx, self.rcp,
                                 self.ptrb, self.ptre, out, stack)


def same(a, b):
    """Equal including the sign of zero."""
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


OPCODE_CASES = [
    # words, constants, value
    ([2], [3.5], 3.5),
    ([1], [2.0], 3.0),
    ([1], [2.9], 3.0),                                   # operand truncated toward zero
    ([2, 2, 3], [1.5, 2.25, 0.0], 3.75),
    ([2, 4], [0.0, 0.0], -0.0),                          # negate flips the sign of 0.0
    ([1, 4], [1.0, 0.0], 2.0),
    ([1, 2, 5], [3.0, -2.0, 0.0], -14.5),
    ([2, 6], [4.0, 0.0], 0.25),
    ([8], [0.0], 0.0),                                   # sum of nothing pushes 0.0
    ([8], [-3.0], 0.0),
    ([2, 2, 2, 8, 3], [1.0, 2.0, 4.0, 2.9, 0.0], 7.0),   # sum of the top two, then add
    ([2, 2, 2, 8], [1.0, 1e16, -1e16, 3.0], 1.0),        # summed from the top downward
    ([2, 7, 0, -3, 9, 10, 4], [5.0, 1.0, 1.0, 1.0, 1.0, 1.0, 0.0], -5.0),  # skipped words
    ([2, 2], [1.0, 2.0], 1.0),                           # leftovers: the bottom value
    ([1, 1, 3, 6, 4], [0.0, 3.0, 0.0, 0.0, 0.0], -1 / 7.75),
]


@pytest.mark.parametrize("words,consts,expected", OPCODE_CASES)
def test_opcodes(words, consts, expected):
    t = Table([[(words, consts, 1)]])
    assert t.evaluate() == (1, 0)
    assert same(t.val[0], expected)
    assert same(pm.value(words, consts, PARAMS), expected)


@pytest.mark.parametrize("on", [False, True])
def test_table_matches_model(rng, on):
    rows = []
    for r in range(12):
        entries = []
        for _ in range(rng.integers(0, 4)):      # rows without entries occur
            kind = rng.integers(0, 6)
            if kind == 0:
                w, c = [], []                    # program of length 0
            elif kind == 1:
                # Two pushes, then a sum of at most two values (2.9 sums two).
                w = [2, 2, 8]
                c = [float(rng.integers(-3, 4)), float(rng.integers(-3, 4)),
                     float(rng.integers(-1, 3)) + 0.9 * rng.integers(0, 2)]
            else:
                k = rng.integers(1, 4)
                w = [1] * k + [3] * (k - 1) + [2, 5]
                c = [float(rng.integers(0, 4)) for _ in range(k)] + [0.0] * (k - 1) + [rng.normal(), 0.0]
            entries.append((w, c, int(rng.integers(0, 2**33))))
        rows.append(entries)
    rows[0].insert(0, ([], [], 9))            # emits the untouched bottom slot
    t = Table(rows, on=on)
    params = rng.normal(size=4)
    assert t.evaluate(params, out=3, on=on) == (3 + t.nentries, 0)
    triplets, out, depth = t.model(params, out=3)
    got = list(zip(t.subi[3:].tolist(), t.subj[3:].tolist(), t.val[3:].tolist()))
    assert got == triplets


def test_empty_rows_keep_output_and_depth():
    t = Table([[], [], []])
    assert t.evaluate(out=5, depth=2) == (5, 2)
    assert np.all(t.subi == -1)
    none = kernel(134)(None, None, 4, None, None, None, None, None, None, 0, 3, None, None, None, None)
    assert none == (4, 3)


def test_length_zero_program_and_initial_depth():
    # Entry 0 starts on a stack of depth 2 (its pushes go above the caller's
    # values, so the bottom is the caller's 11.0); entry 1 has no program and
    # emits what lies in the bottom slot; entry 2 starts where entry 0 ended.
    rows = [[([2, 2, 3], [1.0, 2.0, 0.0], 4), ([], [], 5), ([2], [6.0], 6)]]
    t = Table(rows)
    xf64 = np.array([-1.0, 11.0, 12.0, 0.0, 0.0, 0.0])
    assert t.evaluate(base=1, depth=2, xf64=xf64) == (3, 0)
    assert t.val.tolist() == [11.0, 11.0, 6.0]
    assert xf64[3] == 3.0 and xf64[0] == -1.0
    triplets, _, _ = t.model(stack=pm.ValueStack([11.0, 12.0], depth=2))
    assert [v for _, _, v in triplets] == t.val.tolist()


def test_word_10_is_skipped():
    t = Table([[([2], [4.0], 1), ([10], [8.0], 2)]])
    t.evaluate()
    assert t.val.tolist() == [4.0, 4.0]


@pytest.mark.parametrize("var,low", [(2**31 - 1, 2**31 - 1), (2**31, -2**31), (2**32 + 5, 5), (-1, -1),
                                     (3 * 2**32 - 2, -2)])
def test_variable_low_32_bits(var, low):
    t = Table([[([2], [1.0], var)]])
    t.evaluate()
    assert t.subj[0] == low == pm.low32(var)


def expression_with_programs(rng, shape, sparse=False):
    """A random expression whose programs mix constant programs (word 2 or
    10), programs of length 0 and programs using parameters."""
    e = random_expr(rng, shape, programs=True, sparse=sparse, max_terms=4)
    words, consts, cptr = [], [], [0]
    for t in range(e.m):
        w, c = e.program(t)
        kind = rng.integers(0, 5)
        if kind == 0:
            w, c = [10], [0.0]
        elif kind == 1:
            w, c = [], []
        elif kind == 2:
            w, c = [2, 4], [1.0, 0.0]            # starts with 2, but not constant
        words += w
        consts += c
        cptr.append(len(words))
    e.codeptr, e.code, e.cconst = (np.asarray(cptr, np.int32), np.asarray(words, np.int32),
                                   np.asarray(consts, np.float64))
    return e


@pytest.mark.parametrize("strided_stack", [False, True])
def test_store_and_evaluate_expression(rng, strided_stack):
    e = expression_with_programs(rng, (3, 4))
    st = Stack(strided=strided_stack)
    p = st.push(e)
    rows = rng.permutation(20)[:e.n].astype(np.int32)
    res = pm.run_through_table(kernel, st, e.n, ptr=p.ptr, nidxs=p.nidxs, codeptr=p.codeptr, code=p.code,
                               cconst=p.cconst, params=PARAMS, nativeidxs=rows, nrows=20)
    stored = [t for t in range(e.m) if not pm.is_constant(e.program(t)[0])]
    assert (res.count, res.total) == (len(stored), sum(len(e.program(t)[0]) for t in stored))
    assert res.reserved == (res.total, res.count)
    assert res.stored is True
    assert res.evaluated == (res.count, 0)
    assert sorted(res.term_values) == stored
    # Row by row, one value stack throughout: a program of length 0 gives what
    # the previous entry left in the bottom slot (the stack starts as zeros).
    vs = pm.ValueStack([0.0])
    for el in np.argsort(rows):
        for t in range(e.ptr[el], e.ptr[el + 1]):
            if t in stored:
                vs.run(*e.program(t), PARAMS)
                assert same(res.term_values[t], vs.bottom)
                vs.depth = 0
    # Rows of elements without stored programs stay untouched.
    for el in range(e.n):
        has = any(e.ptr[el] <= t < e.ptr[el + 1] for t in stored)
        assert (res.ptrb[rows[el]] < res.ptre[rows[el]]) == has
    # The reservation alone, over sentinel rows: rows of elements without
    # stored programs keep every entry, the others get the table's run.
    ptrb, ptre, rcp = (np.full(20, -5, np.int32) for _ in range(3))
    assert kernel(136)(p.code, p.codeptr, 0, 0, rows, e.n, p.ptr, st.i32, rcp, ptrb, ptre) == res.reserved
    with_programs = [rows[el] for el in range(e.n) if any(e.ptr[el] <= t < e.ptr[el + 1] for t in stored)]
    assert 0 < len(with_programs) < e.n
    for r in range(20):
        want = ((res.ptrb[r], res.ptre[r], res.row_code_ptr[r]) if r in with_programs else (-5, -5, -5))
        assert (ptrb[r], ptre[r], rcp[r]) == want
    assert st.sentinels_intact()


def test_count_adds_to_initial_values():
    e = Expr((3,), [0, 2, 2, 4], [1, 2, 3, 4], [1.0] * 4, codeptr=[0, 1, 2, 4, 4],
             code=[2, 10, 1, 5], cconst=[1.0, 0.0, 0.0, 0.0])
    st = Stack()
    p = st.push(e)
    # Terms 2 (two positions) and 3 (no positions) are not constant.
    assert kernel(135)(p.code, p.codeptr, 3, 10, 100, p.ptr, st.i32) == (12, 102)
    assert kernel(135)(p.code, p.codeptr, 0, 10, 100, p.ptr, st.i32) == (10, 100)


def test_store_clears_flag_on_negative_variable():
    e = Expr((2,), [0, 1, 2], [-4, 3], [1.0, 1.0], codeptr=[0, 1, 2], code=[1, 1], cconst=[0.0, 1.0])
    st = Stack()
    p = st.push(e)
    res = pm.run_through_table(kernel, st, e.n, ptr=p.ptr, nidxs=p.nidxs, codeptr=p.codeptr, code=p.code,
                               cconst=p.cconst, params=PARAMS)
    assert res.stored is False
    assert res.varidx.tolist() == [-4, 3]
    # A false flag stays false.
    args = [np.zeros(2), p.cconst, np.zeros(2, np.int32), p.code, p.codeptr, np.arange(2, dtype=np.int32), 2,
            p.nidxs, False, np.zeros(2, np.int32), np.zeros(2, np.int64), p.ptr, st.f64, st.i32, st.i64,
            np.array([0, 1], np.int32), np.array([0, 1], np.int32)]
    st.i64[p.nidxs:p.nidxs + 2] = [4, 3]
    assert kernel(137)(*args) is False
    args[8] = True
    assert kernel(137)(*args) is True


def removal_table():
    # Row 0: two entries (3 + 1 positions), row 1: none, row 2: one (2), row 3: two (1 + 4).
    return Table([[([1, 2, 5], [0, 1, 0], 1), ([2], [1], 2)], [],
                  [([1, 4], [0, 0], 3)], [([1], [0], 4), ([1, 1, 3, 4], [0, 1, 0, 0], 5)]])


@pytest.mark.parametrize("listed", [[0], [1], [3, 0], [2, 2], [0, 1, 2, 3], []])
def test_remove_rows(listed):
    t = removal_table()
    before_b, before_e = t.ptrb.copy(), t.ptre.copy()
    lengths = {r: sum(t.sizes[before_b[r]:before_e[r]]) for r in range(4)}
    entries = {r: before_e[r] - before_b[r] for r in range(4)}
    gone = set(listed)
    nat = np.asarray(listed, np.int32)
    assert kernel(138)(50, nat, t.sizes, t.ptrb, t.ptre, 20) == (
        50 - sum(lengths[r] for r in gone), 20 - sum(entries[r] for r in gone))
    for r in range(4):
        want = (0, 0) if r in gone else (before_b[r], before_e[r])
        assert (t.ptrb[r], t.ptre[r]) == want

    t = removal_table()
    padded = np.asarray(listed + [1, 3], np.int32)   # only the first len(listed) count
    assert kernel(144)(20, padded, len(listed), t.rcp, t.ptrb, t.ptre) == 20 - sum(entries[r] for r in gone)
    for r in range(4):
        want = (0, 0) if r in gone else (before_b[r], before_e[r])
        assert (t.ptrb[r], t.ptre[r]) == want


def test_remove_rows_without_table():
    t = removal_table()
    nat = np.array([0, 3], np.int32)
    assert kernel(138)(50, nat, t.sizes, None, t.ptre, 20) == (50, 20)
    assert kernel(144)(20, nat, 2, None, t.ptrb, t.ptre) == 20
    assert kernel(144)(20, nat, 0, t.rcp, t.ptrb, t.ptre) == 20
    assert t.ptrb.tolist() == removal_table().ptrb.tolist()


@pytest.mark.parametrize("row,length", [(0, 4), (1, 0), (2, 2), (3, 5)])
def test_row_length(row, length):
    t = removal_table()
    assert kernel(139)(7, row, t.sizes, t.ptrb, t.ptre) == 7 + length
    with pytest.raises(TypeError):
        kernel(139)(7, row, t.sizes, t.ptrb, None)


TAILS = [  # how the table ends: which value stack slots each last program leaves
    [([2, 2], [5.0, 7.0], 1), ([1], [3.0], 2), ([1, 2, 5], [4.0, -0.0, 0.0], 3)],
    [([1, 2, 5], [4.0, -0.0, 0.0], 3), ([2, 2], [5.0, 7.0], 1), ([1], [3.0], 2)],
]


@pytest.mark.parametrize("tail", TAILS)
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_common_shapes_bitwise_as_the_interpreter(seed, tail):
    # The evaluator computes "parameter", "parameter times constant" and
    # "constant times parameter" directly; mixed with general and empty
    # programs and with signed zeros, infinities and NaNs, every value and
    # the value stack left behind must be bitwise the interpreter model's.
    rng = np.random.default_rng(seed)
    params = np.array([-0.0, np.inf, np.nan, 1.5, -3.25, 0.0])
    consts = [0.0, -0.0, np.inf, -2.0, 0.1, np.nan]

    def entry():
        q, c = float(rng.integers(0, len(params))), consts[rng.integers(0, len(consts))]
        return [([1], [q]), ([1, 2, 5], [q, c, 0.0]), ([2, 1, 5], [c, q, 0.0]), ([], []),
                ([1, 2, 5, 4], [q, c, 0.0, 0.0]), ([2, 2], [c, 7.0]), ([1, 2, 3], [q, c, 0.0])][rng.integers(0, 7)]

    rows = [[(*entry(), int(rng.integers(0, 50))) for _ in range(rng.integers(0, 6))] for _ in range(20)]
    rows[-1] += tail
    t = Table(rows)
    assert t.evaluate(params) == (t.nentries, 0)
    stack = pm.ValueStack([99.0])
    triplets, _, _ = t.model(params, stack=stack)
    assert np.array([v for _, _, v in triplets]).tobytes() == t.val.tobytes()
    assert [(i, j) for i, j, _ in triplets] == list(zip(t.subi.tolist(), t.subj.tolist()))
    assert np.array(stack.slots).tobytes() == t.xf64[:len(stack.slots)].tobytes()


RUN_SHAPES = [  # (words, constants from (parameter index q, constant c))
    lambda q, c: ([1, 2, 5], [q, c, 0.0]),
    lambda q, c: ([2, 1, 5], [c, q, 0.0]),
    lambda q, c: ([1], [q]),
    lambda q, c: ([], []),                       # emits the bottom slot as it stands
    lambda q, c: ([2, 2, 8], [c, 1.5, 2.0]),      # general: fills slots 0 and 1
    lambda q, c: ([1, 2, 3], [q, c, 0.0]),        # general, three positions like a product
]


@pytest.mark.parametrize("seed", range(6))
def test_runs_of_one_shape_in_both_evaluators(seed):
    # Rows made of runs of one shape (runs cross row boundaries, rows are
    # empty or one entry long, the call starts on a non-empty value stack at
    # a non-zero base): 134's triplets and 25's pairs, and the value stack
    # each leaves, are bitwise the interpreter model's.
    rng = np.random.default_rng(seed)
    params = np.array([-0.0, np.inf, np.nan, 1.5, -3.25, 0.0, 1e308])
    consts = [0.0, -0.0, np.inf, -2.0, 0.1, np.nan, 1e10]
    entries, shape = [], 0
    for _ in range(int(rng.integers(20, 120))):
        if rng.random() < 0.25:
            shape = int(rng.integers(0, len(RUN_SHAPES)))
        q, c = float(rng.integers(0, len(params))), consts[rng.integers(0, len(consts))]
        entries.append((*RUN_SHAPES[shape](q, c), int(rng.integers(-2**34, 2**34))))
    cuts = np.sort(rng.integers(0, len(entries) + 1, int(rng.integers(0, 12))))
    rows = [entries[a:b] for a, b in zip(np.r_[0, cuts], np.r_[cuts, len(entries)])]
    t = Table(rows, gap=int(rng.integers(0, 3)))
    base, depth, out = 2, int(rng.integers(0, 3)), 3
    start = [float(k) + 0.5 for k in range(12)]
    xf64 = np.array(start)
    assert t.evaluate(params, out=out, base=base, depth=depth, xf64=xf64) == (out + t.nentries,
                                                                            0 if t.nentries else depth)
    stack = pm.ValueStack(start[base:], depth=depth)
    triplets, _, _ = t.model(params, out=out, stack=stack)
    assert np.array([v for _, _, v in triplets]).tobytes() == t.val[out:].tobytes()
    assert [(i, j) for i, j, _ in triplets] == list(zip(t.subi[out:].tolist(), t.subj[out:].tolist()))
    assert np.array(stack.slots).tobytes() == xf64[base:base + len(stack.slots)].tobytes()
    assert xf64[:base].tolist() == start[:base]
    # 25 walks the same table without row numbers.
    subj, val, x25 = np.full(t.nentries + out, -1, np.int32), np.full(t.nentries + out, np.nan), np.array(start)
    assert kernel(25)(t.cconst, t.code, t.varidx, t.rcp, t.sizes, out, len(rows), params, t.ptrb, t.ptre, base,
                      depth, subj, val, x25) == (out + t.nentries, 0 if t.nentries else depth)
    assert val[out:].tobytes() == t.val[out:].tobytes() and subj[out:].tolist() == t.subj[out:].tolist()
    assert x25.tobytes() == xf64.tobytes()


# Every program shape the evaluator computes without its interpreter loop:
# "push a" or "push a, push b, add or multiply" (a, b a parameter or a
# constant), then up to two of negate and reciprocal (one reciprocal at most).
SHAPE_HEADS = [[1], [2], [1, 1, 3], [1, 1, 5], [1, 2, 3], [1, 2, 5], [2, 1, 3], [2, 1, 5], [2, 2, 3], [2, 2, 5]]
SHAPES = [h + t for h in SHAPE_HEADS for t in [[], [4], [6], [4, 4], [4, 6], [6, 4]]]
# Words a near miss puts in one position of a shape: other opcodes and
# skipped words; or the word it replaces in other high bits (skipped, but
# the same word to a key made of low bytes).
MISS_WORDS = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, -1, 2**31 - 1, -2**31]
MISS_HIGH = [256, 65536, 2**24, -256, -2**31]


def never_underflows(words, consts):
    """No instruction pops more values than the program pushed before it."""
    depth = 0
    for w, c in zip(words, consts):
        need, change = {1: (0, 1), 2: (0, 1), 3: (2, -1), 4: (1, 0), 5: (2, -1), 6: (1, 0)}.get(w, (0, 0))
        if w == 8:
            k = max(pm.trunc32(c), 0)
            need, change = k, 1 - k
        if depth < need:
            return False
        depth += change
    return True


@pytest.mark.parametrize("on", [False, True])
@pytest.mark.parametrize("seed", range(6))
def test_every_shape_and_near_miss_bitwise_as_the_interpreter(seed, on):
    # Rows of random interleavings of every shape computed directly, near
    # misses of them (one word different), runs of one shape (long enough for
    # the tight loops and for more than one batch), general and empty
    # programs, on operands whose values show the operand order (NaNs of
    # different payloads), from carried-in depths at a non-zero base, through
    # 134 and 25, contiguous or strided: values, triplets, the depth and
    # every slot of the value stack (filled with sentinels beforehand) after
    # each call are bitwise the interpreter model's.
    rng = np.random.default_rng(100 + seed)
    nan = lambda bits: np.frombuffer(np.uint64(bits).tobytes(), np.float64)[0]  # noqa: E731
    params = np.array([nan(0x7FF8000000000011), nan(0xFFF8000000000022), -0.0, np.inf, 1.5, -3.25, 5e-324, 1e308])
    pool = [0.0, -0.0, np.inf, -np.inf, nan(0x7FF800000000BEEF), 0.1, -2.0, 1e-310, 3.0]

    def operands(words):
        """Constants for the words: a parameter index (truncated toward zero)
        for word 1, a count no larger than the depth for word 8."""
        consts, depth = [], 0
        for w in words:
            if w == 1:
                consts.append(float(rng.integers(0, len(params))) + [0.0, 0.25, 0.9][rng.integers(0, 3)])
            elif w == 8:
                consts.append(float(rng.integers(-1, depth + 1)) + 0.5 * rng.integers(0, 2))
            else:
                consts.append(pool[rng.integers(0, len(pool))])
            depth += {1: 1, 2: 1, 3: -1, 5: -1}.get(w, 0)
            if w == 8:
                depth += 1 - max(pm.trunc32(consts[-1]), 0)
        return consts

    def near_miss(words):
        while True:
            w = list(words)
            at = rng.integers(0, len(w))
            if rng.random() < 0.5:
                w[at] = MISS_WORDS[rng.integers(0, len(MISS_WORDS))]
            else:
                w[at] = int(np.int32(np.int64(w[at]) + MISS_HIGH[rng.integers(0, len(MISS_HIGH))]))
            c = operands(w)
            if w != list(words) and never_underflows(w, c):
                return w, c

    others = [[], [10], [2, 2], [1, 1, 1, 3, 3], [1, 2, 5, 1, 3], [1, 4, 4, 4], [1, 6, 6], [2, 2, 2, 8, 3],
              [1, 2, 5, 6, 4, 7], [1, 1, 3, 2, 5, 6]]
    entries = []
    while len(entries) < 500:
        kind = rng.random()
        if kind < 0.1:         # a run of one shape, the stored kinds most often
            words = [[1], [1, 2, 5], [2, 1, 5], SHAPES[rng.integers(0, len(SHAPES))]][rng.integers(0, 4)]
            entries += [(words, operands(words)) for _ in range(rng.integers(2, 90))]
        elif kind < 0.55:
            words = SHAPES[rng.integers(0, len(SHAPES))]
            entries.append((words, operands(words)))
        elif kind < 0.85:
            entries.append(near_miss(SHAPES[rng.integers(0, len(SHAPES))]))
        else:
            words = others[rng.integers(0, len(others))]
            consts = operands(words)
            if never_underflows(words, consts):
                entries.append((words, consts))
    for words in SHAPES:       # every shape at least once
        entries.insert(int(rng.integers(0, len(entries) + 1)), (words, operands(words)))
    entries = [(w, c, int(rng.integers(-2**34, 2**34))) for w, c in entries]
    cuts = np.sort(rng.integers(0, len(entries) + 1, 60))
    rows = [entries[a:b] for a, b in zip(np.r_[0, cuts], np.r_[cuts, len(entries)])]
    t = Table(rows, gap=int(rng.integers(0, 3)), on=on)
    ptrb, ptre, rcp = t.ptrb, t.ptre, t.rcp

    # The rows go to the kernels a few at a time, each call from a depth of
    # 0 .. 2 (what a caller left on the stack), so that the value stack each
    # call leaves is compared too, not only the last one.
    base, out = 3, 2
    start = np.array([-7.5] * base + [11.0, 12.0] + [-7.5] * 19)

    def value_stack():
        """The value stack's array, strided with sentinels in between or not."""
        if not on:
            return start.copy(), None
        big = np.full(2 * len(start), -9.25)
        big[::2] = start
        return big[::2], big

    m = t.nentries + out
    subi, subj, val = (strided(np.full(m, f, d), on) for f, d in [(-1, np.int32), (-1, np.int32), (np.nan, float)])
    subj25, val25 = strided(np.full(m, -1, np.int32), on), strided(np.full(m, np.nan), on)
    (x134, big134), (x25, big25) = value_stack(), value_stack()
    stack = pm.ValueStack(start[base:])
    triplets = []
    r, o = 0, out
    while r < len(rows):
        q = min(len(rows), r + int(rng.integers(1, 4)))
        depth = int(rng.integers(0, 3))
        stack.depth = depth
        got, o_next, _ = pm.evaluate_table(t.code, t.cconst, t.sizes, params, t.varidx, rcp[r:q], ptrb[r:q],
                                           ptre[r:q], o, stack)
        triplets += got  # rows numbered within the call, as the kernel numbers them
        left = depth if o_next == o else 0
        assert kernel(134)(t.cconst, t.code, o, t.sizes, params, t.varidx, rcp[r:q], ptrb[r:q], ptre[r:q], base,
                           depth, subi, subj, val, x134) == (o_next, left)
        assert kernel(25)(t.cconst, t.code, t.varidx, rcp[r:q], t.sizes, o, q - r, params, ptrb[r:q], ptre[r:q],
                          base, depth, subj25, val25, x25) == (o_next, left)
        for x in (x134, x25):
            assert np.r_[start[:base], stack.slots].tobytes() == x.tobytes()
        r, o = q, o_next
    assert np.array([v for _, _, v in triplets]).tobytes() == val[out:].tobytes() == val25[out:].tobytes()
    assert [(i, j) for i, j, _ in triplets] == list(zip(subi[out:].tolist(), subj[out:].tolist()))
    assert subj25[out:].tolist() == subj[out:].tolist()
    for big in (big134, big25):
        assert big is None or np.all(big[1::2] == -9.25)
