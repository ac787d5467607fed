"""Each function's reduction to the cones: of a function constraint, and of
the objective.

A reduction turns an Expression into an affine expression t with auxiliary
variables and constraints such that t >= f(args) for a convex f (its
epigraph) and t <= f(args) for a concave one (its hypograph); the
arguments are reduced first, and the composition rules make the direction
of each argument's bound the one f needs. Every piece is built from the
package's affine operations and cones, so every loop over model data is a
kernel call. The auxiliary variables are columns of the model that are not
listed among its variables, the auxiliary constraints are marked so."""
from __future__ import annotations

import itertools
import math
from fractions import Fraction
from functools import lru_cache

import numpy as np

from .constraints import exp_cone, power_cone, psd, rsoc, soc
from .errors import ModelError, ShapeError
from .expressions import Affine, ParamExpr, concatenate, constant_of
from .functions import Expression, Quadratic, diag
from .terms import Terms


class Reduction:
    """The reduction of the expressions of one statement: auxiliary
    constraints gathered in `constraints`; a subexpression used twice is
    reduced once."""

    def __init__(self, model):
        self.model, self.constraints, self._done = model, [], {}

    def variable(self, shape, what):
        return self.model._auxiliary(shape, f"{what}#{self.model.nvars}")

    def add(self, *constraints):
        for c in constraints:
            c.auxiliary, c.model = True, self.model
            self.constraints.append(c)

    def of(self, e):
        """The affine expression standing for e (e itself when affine)."""
        if not isinstance(e, Expression):
            return e
        if id(e) not in self._done:
            self._done[id(e)] = (e, self._reduce(e))
        return self._done[id(e)][1]

    def _reduce(self, e):
        if e.kind == "sum":
            out = self.of(e.args[0])
            for a in e.args[1:]:
                out = out + self.of(a)
            return out
        if e.kind == "scale":
            c, t = e.data["factor"], self.of(e.args[0])
            return c * t if isinstance(c, ParamExpr) else t * c
        if e.kind == "map":
            return e.data["fn"](self.of(e.args[0]))
        args = [self.of(a) for a in e.args]
        return REDUCE[e.data["atom"]](self, e, *args)


def _flat(a):
    return a.reshape((a.size,))


def _expand(t, shape, axis):
    """t of a reduced shape laid out along `axis` of `shape` (each entry
    repeated along the axis): the multi-indices are positions, computed from
    the shapes alone."""
    if axis is None:
        return t
    reduced = np.arange(t.size).reshape(t.shape)
    lin = np.broadcast_to(np.expand_dims(reduced, axis), shape).reshape(-1)
    multi = np.column_stack(np.unravel_index(lin, t.shape)) if t.ndim else np.zeros((lin.size, 0), int)
    return t.pick(multi).reshape(shape)


def _abs(r, e, x):
    t = r.variable(x.shape, "abs")
    r.add(x <= t, -t <= x)
    return t


def _pos(r, e, x):
    t = r.variable(x.shape, "pos")
    r.add(x <= t, t >= 0.0)
    return t


def _neg(r, e, x):
    t = r.variable(x.shape, "neg")
    r.add(-x <= t, t >= 0.0)
    return t


def _extremum(r, e, *args, upper=True):
    t = r.variable(e.shape, e.data["atom"])
    for a in args:
        r.add(a <= t if upper else a >= t)
    return t


def _along(r, e, x, upper):
    axis = e.data["axis"]
    t = r.variable(e.shape, e.data["atom"])
    T = _expand(t, x.shape, axis)
    r.add(x <= T if upper else x >= T)
    return t


def _norm1(r, e, x):
    s = _abs(r, e, x)
    return s.sum() if e.data["axis"] is None else s.sum(e.data["axis"])


def _norm2(r, e, x):
    axis = e.data["axis"]
    if axis is not None and (x.ndim != 2 or not isinstance(axis, int)):
        # along axes of an array: one cone per row of the grouped entries
        return _norm2_rows(r, _grouped(x, axis)).reshape(e.shape)
    t = r.variable(e.shape, "norm")
    r.add(soc(t, x) if axis is None else soc(t, x, axis=axis))
    return t


def _norminf(r, e, x):
    t = r.variable(e.shape, "norm")
    T = _expand(t, x.shape, e.data["axis"])
    r.add(x <= T, -T <= x)
    return t


def _square_bound(r, u, w):
    """u_i >= w_i^2 elementwise: 2 u_i (1/2) >= w_i^2, one rotated cone each."""
    n = w.size
    if n == 1:
        r.add(rsoc(u, 0.5, w))
    else:
        r.add(rsoc(_flat(u), np.full(n, 0.5), w.reshape((n, 1)), axis=1))


def _squares(r, x, what):
    """t >= x_i^2 elementwise."""
    t = r.variable(x.shape, what)
    _square_bound(r, t, x)
    return t


def _sum_squares(r, e, x):
    t = r.variable((), "sum_squares")
    r.add(rsoc(t, 0.5, x))
    return t


def _factor(Q):
    """F with F'F = Q for a positive semidefinite Q (rows of zero weight left out)."""
    w, V = np.linalg.eigh(Q)
    keep = w > 1e-12 * max(1.0, float(np.abs(w).max(initial=0.0)))
    return np.sqrt(w[keep])[:, None] * V[:, keep].T


def _quad_form(r, e, x):
    F = _factor(e.data["Q"])
    if F.shape[0] == 0:
        return constant_of(r.model, 0.0)
    return _sum_squares(r, e, F @ _flat(x))


def _quad_form_concave(r, e, x):
    # x'Qx = -|F x|^2 with F'F = -Q: the hypograph of minus the epigraph of |F x|^2
    F = _factor(-e.data["Q"])
    if F.shape[0] == 0:
        return constant_of(r.model, 0.0)
    return -_sum_squares(r, e, F @ _flat(x))


def _quad_over_lin(r, e, x, y):
    t = r.variable((), "quad_over_lin")
    r.add(rsoc(t, 0.5 * y.reshape(()), x))
    return t


def _sqrt(r, e, x):
    # t_i^2 <= x_i
    t = r.variable(x.shape, "sqrt")
    _square_bound(r, x, t)
    return t


# x^p through rotated second-order cones where p is a rational whose tree of
# them (power_tree) has at most TREE_CONES per entry: p = 2, 4, 3, 3/2, 4/3,
# 1/2, 1/4, 3/4, 1/3, 2/3, -1, -1/2, -1/3, -2, -3; through the power cone
# for the others. Clarabel takes a tree of one or two cones per entry in
# fewer iterations and less time than the power cone; three or four cost
# more time than the power cone, whose iterations are cheaper.
TREE_CONES = 2


def _rational(p):
    """p as a fraction of a denominator no tree of TREE_CONES levels
    exceeds, None when it is not one (p is the float nearest to it)."""
    f = Fraction(p).limit_denominator(2 ** TREE_CONES)
    return f if float(f) == p else None


@lru_cache(maxsize=None)
def _split(counts):
    """The fewest rotated cones that bound the geometric mean of leaves
    taken counts[i] / sum(counts) times each (the sum a power of two), and
    the tree: a leaf's index, or (left, right) of a cone w^2 <= left * right
    whose halves each take half of the counts."""
    live = [i for i, c in enumerate(counts) if c]
    if len(live) == 1:
        return 0, live[0]
    half, best = sum(counts) // 2, None
    for left in itertools.product(*(range(c + 1) for c in counts)):
        if sum(left) != half:
            continue
        (nl, tl), (nr, tr) = _split(left), _split(tuple(c - a for c, a in zip(counts, left)))
        if best is None or 1 + nl + nr < best[0]:
            best = (1 + nl + nr, (tl, tr))
    return best


@lru_cache(maxsize=None)
def power_tree(p):
    """How x^p goes through rotated cones: (squarings, bound, tree, cones),
    None where that takes more than TREE_CONES cones per entry.

    An even p squares x first (u >= x^2, then u^(p/2)), as long as p stays
    even. What is left, q, is a weighted geometric mean of the leaves 0 (x,
    or u), 1 (t, the result) and 2 (the number 1) bounding the leaf `bound`:
        q > 1:      |x| <= t^(1/q) 1^(1 - 1/q)
        0 < q < 1:  t <= x^q 1^(1 - q)
        q < 0:      1 <= x^(q/(q-1)) t^(1/(1-q))
    For weights of a common denominator d, 2^(k-1) < d <= 2^k, the bound s
    is a leaf too, of weight (2^k - d) / 2^k: for s >= 0, s <= m^(d/2^k)
    s^(1 - d/2^k) holds where s <= m. `tree` is _split's for these counts
    of 2^k."""
    squarings, q = 0, float(p)
    while q >= 2 and q == int(q) and int(q) % 2 == 0:
        squarings, q = squarings + 1, q / 2
    if q == 1.0:
        return (squarings, None, None, squarings) if squarings <= TREE_CONES else None
    f = _rational(q)
    if f is None:
        return None
    if f > 1:
        bound, w = 0, {1: 1 / f, 2: 1 - 1 / f}
    elif f > 0:
        bound, w = 1, {0: f, 2: 1 - f}
    else:
        bound, w = 2, {0: f / (f - 1), 1: 1 / (1 - f)}
    d = math.lcm(*(v.denominator for v in w.values()))
    k = max(d - 1, 0).bit_length()
    if k > TREE_CONES:
        return None
    counts = [0, 0, 0]
    for i, v in w.items():
        counts[i] = int(v * d)
    counts[bound] += 2 ** k - d
    cones, tree = _split(tuple(counts))
    if squarings + cones > TREE_CONES:
        return None
    return squarings, bound, tree, squarings + cones


def _tree_cones(r, tree, leaves, bound, n):
    """The cones of `tree` over flat leaves of n entries, one rsoc statement
    per level: each pair (left, right) a cone w^2 <= left * right, w the
    bound at the root and a new auxiliary vector elsewhere."""
    level = [(tree, leaves[bound])]
    while level:
        lefts, rights, tops, below = [], [], [], []
        for (a, b), w in level:
            pair = []
            for side in (a, b):
                if isinstance(side, tuple):
                    v = r.variable((n,), "power")
                    below.append((side, v))
                    pair.append(v)
                else:
                    pair.append(leaves[side])
            # 2 (left) (right / 2) >= w^2; the number 1, where it is one, on the right
            left, right = pair[::-1] if isinstance(pair[1], Affine) and not isinstance(pair[0], Affine) else pair
            lefts.append(left)
            rights.append(right * 0.5 if isinstance(right, Affine) else np.full(n, 0.5 * right))
            tops.append(w if isinstance(w, Affine) else constant_of(r.model, np.full(n, float(w))))
        r.add(rsoc(_joined_flat(r, lefts), _joined_flat(r, rights), _joined_flat(r, tops).reshape((-1, 1)), axis=1))
        level = below


def _joined_flat(r, items):
    return items[0] if len(items) == 1 else concatenate(
        [i if isinstance(i, Affine) else constant_of(r.model, i) for i in items], axis=0)


def _power(r, e, x, p=None):
    p = e.data["p"] if p is None else p
    plan = power_tree(p) if x.size else None     # (no entries: no cones either way)
    what = e.data["atom"]
    if plan is None:
        return _power_cone(r, e, x, p)
    squarings, bound, tree, _ = plan
    n = x.size
    base = _flat(x)
    for _ in range(squarings):
        base = _squares(r, base, what)
    if tree is None:
        return base.reshape(x.shape)
    t = r.variable((n,), what)
    leaves = [base, t, 1.0]
    _tree_cones(r, tree, leaves, bound, n)
    if what == "power_above_one" and not _has_leaf(tree, 0):
        r.add(base >= 0.0)
    return t.reshape(x.shape)


def _has_leaf(tree, i):
    return tree == i or (isinstance(tree, tuple) and any(_has_leaf(s, i) for s in tree))


def _power_cone(r, e, x, p):
    t = r.variable(x.shape, "power")
    if p > 1:
        # t^(1/p) 1^(1 - 1/p) >= |x|
        r.add(power_cone(t, 1.0, x, 1.0 / p))
        if e.data["atom"] == "power_above_one":
            r.add(x >= 0.0)
    elif p > 0:
        # x^p 1^(1 - p) >= |t|
        r.add(power_cone(x, 1.0, t, p))
    else:
        # x^a t^(1 - a) >= 1 with a = p / (p - 1): t >= x^p
        r.add(power_cone(x, t, 1.0, p / (p - 1.0)))
    return t


def _inv_pos(r, e, x):
    return _power(r, e, x, -1.0)


def _exp(r, e, x):
    t = r.variable(x.shape, "exp")
    r.add(exp_cone(x, 1.0, t))
    return t


def _log(r, e, x):
    t = r.variable(x.shape, "log")
    r.add(exp_cone(t, 1.0, x))
    return t


def _entropy(r, e, x):
    # x exp(t / x) <= 1  <=>  t <= -x log x
    t = r.variable(x.shape, "entropy")
    r.add(exp_cone(t, x, 1.0))
    return t


def _rel_entr(r, e, x, y):
    # x exp(-t / x) <= y  <=>  t >= x log(x / y)
    t = r.variable(e.shape, "rel_entr")
    r.add(exp_cone(-t, x, y))
    return t


def _log_sum_exp(r, e, x):
    # sum exp(x_i - t) <= 1: u_i >= exp(x_i - t), sum u <= 1
    if e.data["axis"] is not None:
        return _lse_rows(r, _grouped(x, e.data["axis"])).reshape(e.shape)
    t = r.variable((), "log_sum_exp")
    u = r.variable(x.shape, "log_sum_exp")
    r.add(exp_cone(x - t, 1.0, u), u.sum() <= 1.0)
    return t


def _geo_mean(r, e, x):
    # a chain of three-dimensional power cones, z_k <= x_k^a_k z_(k+1)^(1-a_k)
    # with a_k = w_k / (w_k + ... + w_n-1), z_0 = t and z_n-1 = x_n-1: the
    # solver takes these far more robustly than one generalized power cone
    w, n = e.data["weights"], x.size
    x = _flat(x)
    if n == 1:
        return x.reshape(())
    t = r.variable((), "geo_mean")
    tail = np.cumsum(w[::-1])[::-1]
    z = r.variable((n - 2,), "geo_mean") if n > 2 else None
    lower = x[n - 1:] if z is None else concatenate([z, x[n - 1:]])
    upper = t.reshape((1,)) if z is None else concatenate([t.reshape((1,)), z])
    r.add(power_cone(x[:n - 1], lower, upper, np.clip(w[:n - 1] / tail[:n - 1], 0.0, 1.0)))
    return t


def _huber(r, e, x):
    # huber(x) = min w^2 + 2 M v over |x| <= w + v, v >= 0
    M = e.data["M"]
    w, v = r.variable(x.shape, "huber"), r.variable(x.shape, "huber")
    r.add(x <= w + v, -(w + v) <= x, v >= 0.0)
    return _squares(r, w, "huber") + v * (2.0 * M)


def _eye_times(t, n):
    return t * np.eye(n)


def _lambda_max(r, e, X):
    n = X.shape[0]
    t = r.variable((), "lambda_max")
    r.add(psd(_eye_times(t, n) - X.sym()))
    return t


def _lambda_min(r, e, X):
    n = X.shape[0]
    t = r.variable((), "lambda_min")
    r.add(psd(X.sym() - _eye_times(t, n)))
    return t


def _log_det(r, e, X):
    # [[diag(diag Z), Z'], [Z, X]] >> 0 with Z lower triangular: det X >= prod Z_ii.
    # Z is its packed lower triangle (n(n+1)/2 columns, row by row) spread by
    # a constant matrix: the zeros above its diagonal are structurally absent,
    # and the block's pattern (diagonal, triangle, X) is one Clarabel's
    # chordal decomposition splits into smaller cones
    import scipy.sparse as sp
    n = X.shape[0]
    rows, cols = np.tril_indices(n)
    t = len(rows)
    z = r.variable((t,), "log_det")
    spread = sp.csr_matrix((np.ones(t), (rows * n + cols, np.arange(t))), shape=(n * n, t))
    Z = (spread @ z).reshape((n, n))
    # Z_ii stands at i(i+1)/2 + i of the packed rows
    i = np.arange(n)
    d = z.pick((i * (i + 1) // 2 + i).reshape(-1, 1))
    block = concatenate([concatenate([diag(d), Z.T], axis=1), concatenate([Z, X.sym()], axis=1)], axis=0)
    r.add(psd(block))
    u = r.variable((n,), "log_det")
    r.add(exp_cone(u, 1.0, d))
    return u.sum()


# -- functions of vectors, and functions along axes

def _grouped(x, axis):
    """x's entries as rows (k, n): one row of the n entries each result of a
    reduction along `axis` takes (None: one row of all of them), the rows in
    the order of the reduced shape's entries."""
    if axis is None:
        return x.reshape((1, x.size))
    axes = [axis] if isinstance(axis, int) else list(axis)
    keep = [d for d in range(x.ndim) if d not in axes]
    k, n = int(np.prod([x.shape[d] for d in keep])), int(np.prod([x.shape[a] for a in axes]))
    if keep + axes != list(range(x.ndim)):
        x = x.transpose(keep + axes)
    return x.reshape((k, n))


def _pow3(r, a, b, c, alpha):
    """a^alpha b^(1 - alpha) >= |c| elementwise over operands of one shape:
    for alpha = 1/2 the rotated cones 2 a (b/2) >= c^2, else power cones."""
    if alpha != 0.5:
        r.add(power_cone(a, b, c, alpha))
        return
    n = c.size
    r.add(rsoc(_flat(a), _flat(b) * 0.5, c.reshape((n, 1)), axis=1))


def _pnorm_rows(r, X, p):
    """t_k >= ||X[k, :]||_p (p > 1), or t_k <= the concave (sum X_kj^p)^(1/p)
    of X >= 0 (p < 1): the entries' cones share t_k through r with rows
    summing to t."""
    k, n = X.shape
    t = r.variable((k,), "pnorm")
    R = r.variable((k, n), "pnorm")
    T = _expand(t, (k, n), 1)
    if p > 1:
        _pow3(r, R, T, X, 1.0 / p)                 # |x| <= r^(1/p) t^(1-1/p)
    elif p > 0:
        _pow3(r, X, T, R, p)                       # |r| <= x^p t^(1-p)
    else:
        _pow3(r, R, X, T, 1.0 / (1.0 - p))         # |t| <= r^a x^(1-a): r >= t^(1-p) x^p
    r.add(R.sum(axis=1) == t)
    return t


def _pnorm(r, e, x):
    return _pnorm_rows(r, _grouped(x, e.data["axis"]), e.data["p"]).reshape(e.shape)


def _logistic(r, e, x):
    # t >= log(exp(0) + exp(x)): exp(-t) + exp(x - t) <= 1
    t = r.variable(x.shape, "logistic")
    u, v = r.variable(x.shape, "logistic"), r.variable(x.shape, "logistic")
    r.add(exp_cone(-t, 1.0, u), exp_cone(x - t, 1.0, v), u + v <= 1.0)
    return t


def _log1p(r, e, x):
    t = r.variable(x.shape, "log1p")
    r.add(exp_cone(t, 1.0, x + 1.0))
    return t


def _xexp(r, e, x):
    # x exp(u / x) <= t with u >= x^2: t >= x exp(x) (the cone holds x >= 0)
    u = _squares(r, x, "xexp")
    t = r.variable(x.shape, "xexp")
    r.add(exp_cone(u, x, t))
    return t


def _kl_div(r, e, x, y):
    return _rel_entr(r, e, x, y) - x + y


def _harmonic_mean(r, e, x):
    return _pnorm_rows(r, x.reshape((1, x.size)), -1.0).reshape(()) * float(x.size)


def _cummax(r, e, x):
    # y >= x, y nondecreasing along the axis
    axis, n = e.data["axis"], x.shape[e.data["axis"]]
    if n == 1:
        return x
    y = r.variable(x.shape, "cummax")
    lo = tuple(slice(0, n - 1) if d == axis else slice(None) for d in range(x.ndim))
    hi = tuple(slice(1, n) if d == axis else slice(None) for d in range(x.ndim))
    r.add(x <= y, y[lo] <= y[hi])
    return y


def _tv(r, e, *xs):
    x = xs[0]
    if x.ndim == 1:
        if x.size < 2:
            return constant_of(r.model, 0.0)
        return _abs(r, e, x[1:] - x[:-1]).sum()
    m, n = x.shape
    k = (m - 1) * (n - 1)
    if k == 0:
        return constant_of(r.model, 0.0)
    # one cone per entry (i, j): the differences of every matrix there
    cols = []
    for X in xs:
        base = X[:m - 1, :n - 1]
        cols += [(X[:m - 1, 1:] - base).reshape((k, 1)), (X[1:, :n - 1] - base).reshape((k, 1))]
    t = r.variable((k,), "tv")
    r.add(soc(t, concatenate(cols, axis=1), axis=1))
    return t.sum()


def _largest_rows(r, X, k):
    """t_j >= the sum of the k largest of X[j, :]: u >= X - q, u >= 0,
    t = sum u + k q."""
    rows, n = X.shape
    u = r.variable((rows, n), "sum_largest")
    q = r.variable((rows,), "sum_largest")
    r.add(X <= u + _expand(q, (rows, n), 1), u >= 0.0)
    return u.sum(axis=1) + q * k


def _sum_largest(r, e, x):
    return _largest_rows(r, _grouped(x, e.data["axis"]), e.data["k"]).reshape(e.shape)


def _sum_smallest(r, e, x):
    return -_largest_rows(r, -_grouped(x, e.data["axis"]), e.data["k"]).reshape(e.shape)


def _dotsort(r, e, x):
    # the largest <x, P w> over doubly substochastic P (zeros pad w): by
    # duality sum t + counts' q with x_i w_j <= t_i + q_j, t >= 0, one q per
    # distinct nonzero weight
    w, counts = np.unique(e.data["w"], return_counts=True)
    w, counts = w[w != 0], counts[w != 0]
    if w.size == 0:
        return constant_of(r.model, 0.0)
    n, d = x.size, w.size
    t, q = r.variable((n,), "dotsort"), r.variable((d,), "dotsort")
    r.add(_flat(x).reshape((n, 1)) * w.reshape((1, d)) <= _expand(t, (n, d), 1) + _expand(q, (n, d), 0),
          t >= 0.0)
    return t.sum() + q @ counts.astype(float)
# -- matrix functions

def _symmetric(r, n, what):
    """An auxiliary symmetric n x n matrix on the n(n+1)/2 columns of its
    packed lower triangle (each off-diagonal column picked at both of its
    positions), and its trace."""
    i, j = np.tril_indices(n)
    at = np.zeros((n, n), np.int64)
    at[i, j] = at[j, i] = np.arange(i.size)
    u = r.variable((i.size,), what)
    return u.pick(at.reshape(-1, 1)).reshape((n, n)), u.pick(at.diagonal().reshape(-1, 1)).sum()


def _block_2x2(A, B, C):
    """The symmetric block matrix [[A, B], [B', C]]."""
    return concatenate([concatenate([A, B], axis=1), concatenate([B.T, C], axis=1)], axis=0)


def _sigma_max(r, e, X):
    m, n = X.shape
    t = r.variable((), "sigma_max")
    r.add(psd(_block_2x2(_eye_times(t, m), X, _eye_times(t, n))))
    return t


def _norm_nuc(r, e, X):
    m, n = X.shape
    (U, tu), (V, tv) = _symmetric(r, m, "normNuc"), _symmetric(r, n, "normNuc")
    r.add(psd(_block_2x2(U, X, V)))
    return (tu + tv) * 0.5


def _matrix_frac(r, e, X, P):
    # [[P, X], [X', T]] >> 0 <=> T >> X' P^-1 X (P >> 0): trace T bounds it
    X = X.reshape((X.size, 1)) if X.ndim == 1 else X
    T, tr = _symmetric(r, X.shape[1], "matrix_frac")
    r.add(psd(_block_2x2(P, X, T)))
    return tr


REDUCE = {
    "abs": _abs, "pos": _pos, "neg": _neg,
    "maximum": _extremum, "minimum": lambda r, e, *a: _extremum(r, e, *a, upper=False),
    "max": lambda r, e, x: _along(r, e, x, True), "min": lambda r, e, x: _along(r, e, x, False),
    "norm1": _norm1, "norm2": _norm2, "norminf": _norminf,
    "sum_squares": _sum_squares, "square": lambda r, e, x: _squares(r, x, "square"),
    "quad_form": _quad_form, "quad_over_lin": _quad_over_lin, "sqrt": _sqrt,
    "power_even": _power, "power_above_one": _power, "power_root": _power, "power_negative": _power,
    "inv_pos": _inv_pos, "exp": _exp, "log": _log, "entropy": _entropy, "rel_entr": _rel_entr,
    "log_sum_exp": _log_sum_exp, "geo_mean": _geo_mean, "huber": _huber,
    "lambda_max": _lambda_max, "lambda_min": _lambda_min, "log_det": _log_det,
    # functions of vectors, and functions along axes
    "pnorm": _pnorm, "pnorm_concave": _pnorm, "logistic": _logistic, "log1p": _log1p, "xexp": _xexp,
    "kl_div": _kl_div, "harmonic_mean": _harmonic_mean, "cummax": _cummax, "tv": _tv,
    "sum_largest": _sum_largest, "sum_smallest": _sum_smallest,
    "dotsort": _dotsort, "dotsort_nonpos": _dotsort, "dotsort_mixed": _dotsort,
    "sigma_max": _sigma_max, "normNuc": _norm_nuc, "matrix_frac": _matrix_frac,
    # quadratics to the quadratic term
    "quad_form_concave": _quad_form_concave,
}


# -- a function constraint

def constraints_of(model, c):
    """The constraints the function constraint `c` becomes in `model`: the
    auxiliary ones of both sides' reductions, then the constraint on the
    reductions (`c.rows`)."""
    red = Reduction(model)
    a, b = red.of(c.lhs), red.of(c.rhs)
    rows = (a == b) if c.op == "==" else (a <= b)
    rows.name = c.name
    c.rows, c.model = rows, model
    rows.model = model
    return red.constraints + [rows]


# -- the objective

def _weight_times(w, c):
    """The weight w (a number, an array, a parameter expression) times the
    factor c of a scaling; None where the product is not affine in the
    parameters (two parameter expressions)."""
    if isinstance(w, ParamExpr) and isinstance(c, ParamExpr):
        return None
    out = c * w if isinstance(c, ParamExpr) else w * c
    if isinstance(out, ParamExpr):
        return out.reshape(()) if out.size == 1 else out
    return float(np.reshape(out, -1)[0]) if np.size(out) == 1 else out


def _elementwise_weight(w):
    """A weight of one element or one per element, flattened."""
    return w.flatten() if isinstance(w, ParamExpr) and w.ndim else (w.reshape(-1) if isinstance(w, np.ndarray) else w)


def _quadratic_parts(red, e, w, parts, rest, shape=None):
    """Splits an objective into quadratic functions of affine expressions
    (parts: (weight, e, Q)) and everything else (rest: (weight, expression,
    shape)). `shape` is that of an expression whose entries are summed (None
    for a scalar); the weight is a number, or under a sum an array or a
    parameter expression of one element or of the summed shape. A quadratic
    is a sum_squares, quad_form, square, power(., 2) or huber of an affine
    expression; huber(x) is min over s of (x - s)^2 + 2 M |s|: the square to
    the quadratic term, |s| through linear rows."""
    summed = shape is not None
    if isinstance(e, Expression):
        if e.kind == "sum":
            for a in e.args:
                if tuple(a.shape) == tuple(e.shape) or not summed:
                    _quadratic_parts(red, a, w, parts, rest, shape)
                else:
                    rest.append((w, a, shape))
            return
        if e.kind == "scale":
            ww = _weight_times(w, e.data["factor"])
            if ww is not None:
                _quadratic_parts(red, e.args[0], ww, parts, rest, shape)
                return
        elif e.kind == "map" and e.data["full_sum"] and not isinstance(w, np.ndarray) \
                and (not isinstance(w, ParamExpr) or w.size == 1):
            inner = e.args[0]
            _quadratic_parts(red, inner, w, parts, rest, tuple(inner.shape) if inner.size > 1 else None)
            return
        elif e.kind == "atom" and isinstance(e.args[0], Affine) and _quadratic(red, e, w, parts, rest):
            return
    rest.append((w, e, shape))


def _quadratic(red, e, w, parts, rest):
    """A quadratic function e of an affine argument (summed when
    elementwise) split into parts and rest; False for any other."""
    key, x = e.data["atom"], e.args[0]
    if key == "sum_squares" or key in ("square", "power_even") and e.data.get("p", 2.0) == 2.0:
        if isinstance(x, Terms) and not isinstance(w, (ParamExpr, np.ndarray)):
            # a term list stays one: squares of them are taken together
            parts.append((w, x, None))
        else:
            parts.append((_elementwise_weight(w), _flat(x), None))
        return True
    if key in ("quad_form", "quad_form_concave"):
        Q = e.data["Q"]
        # a concave part: -w times the positive semidefinite -Q
        parts.append((w, _flat(x), Q) if key == "quad_form" else (_weight_times(w, -1.0), _flat(x), -Q))
        return True
    if key == "huber":
        xf = _flat(x)
        s, t = red.variable(xf.shape, "huber"), red.variable(xf.shape, "huber")
        red.add(s <= t, -t <= s)
        parts.append((_elementwise_weight(w), xf - s, None))
        rest.append((_weight_times(_elementwise_weight(w), 2.0 * e.data["M"]), t, xf.shape))
        return True
    return False


# a sum of at least BATCH alike functions of affine arguments (one function,
# arguments of one size) is reduced as one function of the arguments stacked
BATCH = 16


def _lse_rows(r, X):
    """t_k >= log_sum_exp(X[k, :]) for every row k: u >= exp(X - t), each
    row of u summing to at most 1."""
    k, n = X.shape
    t = r.variable((k,), "log_sum_exp")
    u = r.variable((k, n), "log_sum_exp")
    r.add(exp_cone(X - _expand(t, (k, n), 1), 1.0, u), u.sum(axis=1) <= 1.0)
    return t


def _norm2_rows(r, X):
    """t_k >= |X[k, :]| for every row k: one cone per row."""
    t = r.variable((X.shape[0],), "norm")
    r.add(soc(t, X, axis=1))
    return t


ROWS = {"log_sum_exp": _lse_rows, "norm2": _norm2_rows}


def _groupable(w, e, shape):
    """The group key of an objective part that is one of many alike
    functions reduced together (ROWS), or None."""
    if shape is not None or not isinstance(w, float) or not isinstance(e, Expression) or e.kind != "atom":
        return None
    atom = e.data.get("atom")
    if atom in ROWS and e.data.get("axis") is None and isinstance(e.args[0], Affine) \
            and not isinstance(e.args[0], ParamExpr):
        return atom, e.args[0].size
    return None


def _batched(red, rest):
    """The (weight, expression, shape) parts of an objective in their order,
    the functions that come in large alike groups (ROWS) reduced together
    where the group's first member stands: each such group becomes one
    part, its weights times the rows' bounds. The auxiliary rows and
    columns come in the order of the parts, as the objective states them."""
    keys = [_groupable(w, e, shape) for w, e, shape in rest]
    groups = {}
    for key, (w, e, _) in zip(keys, rest):
        if key is not None:
            groups.setdefault(key, []).append((w, e))
    done, out = set(), []
    for key, (w, e, shape) in zip(keys, rest):
        if key is None or len(groups[key]) < BATCH:
            out.append((w, e, shape))
            continue
        if key in done:
            continue
        done.add(key)
        # one row per distinct function (a function used twice weighs twice)
        rows, weights = {}, {}
        for w2, e2 in groups[key]:
            rows.setdefault(id(e2), e2)
            weights[id(e2)] = weights.get(id(e2), 0.0) + w2
        n = key[1]
        X = concatenate([_flat(e2.args[0]).reshape((1, n)) for e2 in rows.values()], axis=0)
        t = ROWS[key[0]](red, X)
        out.append((1.0, t @ np.fromiter(weights.values(), float, count=len(weights)), None))
    return out


def _weighted(a, w, shape):
    """w times the reduction a (broadcast to `shape` and summed when given)."""
    if shape is not None and tuple(a.shape) != tuple(shape):
        a = a._broadcast(tuple(shape))
    if isinstance(w, ParamExpr):
        a = w * a
    elif isinstance(w, np.ndarray) or w != 1.0:
        a = a * w
    return (a.sum() if shape is not None else a).reshape(())


def objective_of(model, e, sense):
    """The objective `e` (an Expression) as an affine expression or a
    Quadratic, and the auxiliary constraints of its reduction; refused
    before anything is built when its curvature is not the sense's."""
    need = "convex" if sense == "minimize" else "concave"
    ok = e.is_convex() if sense == "minimize" else e.is_concave()
    if not ok:
        raise ModelError(f"{sense} takes a {need} objective; {e!r} is {e.curvature}"
                         + (f": {e.why}" if e.why else ""))
    if e.size != 1:
        raise ShapeError(f"the objective is a scalar, not of shape {e.shape}")
    red = Reduction(model)
    parts, rest = [], []
    _quadratic_parts(red, e, 1.0, parts, rest)
    affine = None
    for w, r, shape in _batched(red, rest):
        if shape is None and isinstance(w, float):
            a = red.of(r)
            a = (a if w == 1.0 else a * w).reshape(())
        else:
            a = _weighted(red.of(r), w, shape)
        affine = a if affine is None else affine + a
    if not parts:
        affine = affine if affine is not None else constant_of(model, 0.0)
        affine.name = ("{}", e)
        return affine, red.constraints
    return Quadratic(model, parts, affine, ("{}", e)), red.constraints
