"""Model-build time against the peers, in one process: three anchor models,
each stated the way its own community states it, from the statement to the
solver's flat problem (solve excluded):

- fragments_host: statement + flat_problem() (and quadratic_term() for a
  quadratic objective), element by element (Python loops over scalar
  indices, y[i, j] on a 2-D variable, as a JuMP, Pyomo or PyOptInterface
  user writes it) and vectorized (slices of 2-D variables, matrices);
- PyOptInterface + HiGHS: variables, rows and objective added to a HiGHS
  model element by element, as its own benchmarks do (no optimize);
- CVXPY: construction + get_problem_data(CLARABEL), vectorized, and element
  by element (scalar rows) for small sizes only;
- linopy: vectorized over xarray coordinates + its matrices (A, b, bounds,
  c, Q), where it can state the model;
- the floor: the same flat problem as fragments_host's and CVXPY's (q, P,
  and A, b with the bounds and the cones' entries as rows, in the cones
  Clarabel takes) written directly with numpy and scipy.sparse.

The models: lqcp-N, the linear-quadratic control QP of the JuMP paper;
dense-lp-N, 2 N^2 free variables with x - y >= i, x + y >= 0; fac-G, the
facility location of the JuMP paper with its binaries relaxed (one
second-order cone per customer and facility).

Each time is the best of 3 runs (7 when a run takes under 0.5 s, as many
as fit in 0.5 s, at least 7 and at most 300, when one takes under 20 ms,
1 when one takes over 6 s), without collecting garbage between them. The
tools of the ratios (fragments_host both ways, PyOptInterface, the floor)
are timed in turn, one run of each per round, so that they see the same
machine (a shared host's speed drifts over seconds: a series of one tool
after another's moved the smallest ratios by up to 2x between runs of
this bench); CVXPY and linopy are timed after them, each on its own. Each
group's runs start after the garbage left by the tools timed before is
collected. PyOptInterface and the floor have
one way each: their time stands on both rows of a size, so the ratios read
along the row. A tool whose last size took longer than --budget seconds is
skipped at the larger ones. --check solves the smallest size with Clarabel
(fragments_host both ways, CVXPY, the floor; PyOptInterface with HiGHS) and
compares the objectives and the shapes of the two fragments_host flat
problems. After each model's table, fragments_host's element-by-element
cost per solver row at every size, the sizes timed in turn (their rows in
the table are timed minutes apart; --no-linearity leaves it out).

    python bench/peer_build.py [--models lqcp,dense-lp,fac] [--sizes 50,100,300]
        [--fac-sizes 5,10,20] [--budget 60] [--check] [--no-linearity]
"""
import argparse
import collections
import functools
import gc
import importlib
import importlib.metadata as md
import sys
import time
import warnings

import numpy as np
import scipy.sparse as sp

import fragments_host as fh

LONG = 6.0           # a run longer than this is not repeated
SHORT, SHORT_REPEAT = 0.5, 7   # a run shorter than this is repeated more
# a run shorter than TINY is repeated for TINY_SECONDS (at most TINY_MAX
# runs): the best of a few sub-millisecond runs is mostly the machine's noise
TINY, TINY_SECONDS, TINY_MAX = 0.02, 0.5, 300
CVXPY_LOOP_ROWS = 6000   # CVXPY element by element only up to about this many rows


def _enough(times, repeat=3):
    """Whether a tool's runs so far (first run first) are enough: one run
    over LONG, SHORT_REPEAT when the first is under SHORT, as many as fit
    in TINY_SECONDS (at least SHORT_REPEAT, at most TINY_MAX) when it is
    under TINY, else `repeat`."""
    k = len(times)
    if times[-1] > LONG:
        return True
    if times[0] < TINY:
        return k >= TINY_MAX or (k >= SHORT_REPEAT and sum(times) >= TINY_SECONDS)
    return k >= (SHORT_REPEAT if times[0] < SHORT else repeat)


def rotation(fs, repeat=3):
    """{name: (best wall time, last result)} of the functions `fs` timed in
    turn, one run of each in every round, until each has enough runs (see
    _enough): tools compared with each other see the same machine, whose
    speed drifts over seconds on a shared host (a series of one tool
    after another's measured the drift as often as the tools). No garbage
    is collected between runs; a result lives until the clock is read."""
    times = {k: [] for k in fs}
    outs = {}
    todo = list(fs)
    while todo:
        for k in list(todo):
            outs[k] = None
            t = time.perf_counter()
            outs[k] = fs[k]()
            times[k].append(time.perf_counter() - t)
            if _enough(times[k], repeat):
                todo.remove(k)
    return {k: (min(times[k]), outs[k]) for k in fs}


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


cp, poi, linopy = (optional(name) for name in ("cvxpy", "pyoptinterface", "linopy"))
# CVXPY's advice to vectorize, given for every loop-built problem
warnings.filterwarnings("ignore", message=".*too many subexpressions")
if poi is not None:
    from pyoptinterface import highs
if linopy is not None:
    import xarray as xr
    linopy.options["semantics"] = "v1"   # a shifted-out term drops its row


def poi_model():
    model = highs.Model()
    model.set_model_attribute(poi.ModelAttribute.Silent, True)
    return model


def fh_flat(m, quadratic=False):
    """The model with its flat problem (q, A, b, cones) and P."""
    return m, m.flat_problem(), m.quadratic_term() if quadratic else None


# min 1/2 x'P x + q.x + const s.t. A x + s = b, s in the cones, a list of
# (kind, dimension) in order: the form fragments_host and CVXPY hand Clarabel
Floor = collections.namedtuple("Floor", "P q const A b cones")


def stack_rows(blocks, ncol):
    """CSC of row blocks, each (columns of shape (terms, rows), coefficients
    per term): the columns of a row's terms are distinct."""
    cols = [c.reshape(len(v), -1) for c, v in blocks]
    nrows = [c.shape[1] for c in cols]
    start = np.cumsum([0] + nrows)
    rows = np.concatenate([np.tile(np.arange(s, s + k), len(v)) for s, k, (_, v) in zip(start, nrows, blocks)])
    vals = np.concatenate([np.repeat(v, k) for k, (_, v) in zip(nrows, blocks)])
    return sp.csc_matrix((vals, (rows, np.concatenate([c.ravel() for c in cols]))), shape=(start[-1], ncol))


def flat_floor(ncol, q, eq=(), ge=(), lb=None, ub=None, socs=None, P=None, const=0.0):
    """The flat problem of rows A x == b (`eq`) and A x >= b (`ge`), each a
    list of (columns, coefficients, b) blocks as stack_rows takes them,
    bounds lb <= x <= ub (infinite entries: none) and second-order cones
    x[socs[k]]: equalities in the zero cone; inequalities, lower and upper
    bounds as rows of the nonnegative cone (-A x + s = -b, -x + s = -lb,
    x + s = ub); each cone's entries as rows -x + s = 0."""
    blocks, rhs = [(c, v) for c, v, _ in eq], [r for _, _, r in eq]
    blocks += [(c, -v) for c, v, _ in ge]
    rhs += [-r for _, _, r in ge]
    nonneg = sum(np.size(r) for _, _, r in ge)
    cols = np.arange(ncol)
    for bound, sign in ((lb, -1.0), (ub, 1.0)):
        if bound is not None:
            has = np.isfinite(bound)
            blocks.append((cols[has][None], np.array([sign])))
            rhs.append(sign * bound[has])
            nonneg += int(has.sum())
    cones = [("zero", sum(np.size(r) for _, _, r in eq)), ("nonneg", nonneg)]
    if socs is not None:
        blocks.append((socs.reshape(1, -1), np.array([-1.0])))
        rhs.append(np.zeros(socs.size))
        cones += [("soc", socs.shape[1])] * socs.shape[0]
    return Floor(P, q, const, stack_rows(blocks, ncol), np.concatenate(rhs), cones)


# lqcp-N ---------------------------------------------------------------------

def lqcp_consts(N):
    dx, T, a = 1.0 / N, 1.58, 0.001
    dt = T / N
    yt = 0.5 * (1 - (np.arange(N + 1) * dx) ** 2)
    wy = dx * np.r_[0.25, np.full(N - 1, 0.5), 0.25]   # weights of (y[N, j] - yt_j)^2
    wu = a * dt * np.r_[np.full(N - 1, 0.5), 0.25]      # weights of u_i^2
    return dx, dt, dx * dx, yt, wy, wu


def lqcp_loop(N, y, u, add, square, total=sum):
    """lqcp-N element by element over any tool's scalars y[i, j] and
    u[i - 1] = u_i: adds the rows, returns the objective."""
    dx, dt, h2, yt, wy, wu = lqcp_consts(N)
    for i in range(N):
        for j in range(1, N):
            add(h2 * (y[i + 1, j] - y[i, j]) == 0.5 * dt * (
                y[i, j - 1] - 2 * y[i, j] + y[i, j + 1] + y[i + 1, j - 1] - 2 * y[i + 1, j] + y[i + 1, j + 1]))
    for j in range(N + 1):
        add(y[0, j] == 0)
    for i in range(1, N + 1):
        add(y[i, 2] - 4 * y[i, 1] + 3 * y[i, 0] == 0)
    for i in range(1, N + 1):
        add(y[i, N - 2] - 4 * y[i, N - 1] + 3 * y[i, N] == 2 * dx * (u[i - 1] - y[i, N]))
    return (total(wy[j] * square(y[N, j] - yt[j]) for j in range(N + 1))
            + total(wu[i] * square(u[i]) for i in range(N)))


def lqcp_rows(N, y, u):
    """lqcp-N's rows on slices of y (fragments_host and CVXPY alike)."""
    dx, dt, h2 = lqcp_consts(N)[:3]
    lo, hi = y[:N, :], y[1:, :]
    return [h2 * (hi[:, 1:N] - lo[:, 1:N]) == 0.5 * dt * (
                lo[:, :N - 1] - 2 * lo[:, 1:N] + lo[:, 2:] + hi[:, :N - 1] - 2 * hi[:, 1:N] + hi[:, 2:]),
            y[0, :] == 0,
            hi[:, 2] - 4 * hi[:, 1] + 3 * hi[:, 0] == 0,
            hi[:, N - 2] - 4 * hi[:, N - 1] + 3 * hi[:, N] == 2 * dx * (u - hi[:, N])]


def lqcp_fh(N, loop):
    yt, wy, wu = lqcp_consts(N)[3:]
    m = fh.Model()
    y = m.variable((N + 1, N + 1), "y", lb=0.0, ub=1.0)
    u = m.variable(N, "u", lb=-1.0, ub=1.0)
    if loop:
        m.minimize(lqcp_loop(N, y, u, m.add, fh.square))
    else:
        m.add(*lqcp_rows(N, y, u))
        m.minimize(wy[0] * fh.square(y[N, 0] - yt[0]) + wy[N] * fh.square(y[N, N] - yt[N])
                   + wy[1] * fh.sum_squares(y[N, 1:N] - yt[1:N])
                   + wu[0] * fh.sum_squares(u[:N - 1]) + wu[N - 1] * fh.square(u[N - 1]))
    return fh_flat(m, quadratic=True)


def lqcp_poi(N):
    model = poi_model()
    y = model.add_variables(range(N + 1), range(N + 1), lb=0.0, ub=1.0)
    u = model.add_variables(range(N), lb=-1.0, ub=1.0)
    obj = lqcp_loop(N, y, u, model.add_linear_constraint, lambda e: e * e, poi.quicksum)
    model.set_objective(obj, poi.ObjectiveSense.Minimize)
    return model


def lqcp_cvxpy(N, loop):
    yt, wy, wu = lqcp_consts(N)[3:]
    y, u = cp.Variable((N + 1, N + 1), bounds=[0, 1]), cp.Variable(N, bounds=[-1, 1])
    if loop:
        cons = []
        obj = lqcp_loop(N, y, u, cons.append, cp.square)
    else:
        cons, obj = lqcp_rows(N, y, u), wy @ cp.square(y[N, :] - yt) + wu @ cp.square(u)
    prob = cp.Problem(cp.Minimize(obj), cons)
    return prob, prob.get_problem_data(cp.CLARABEL)


def lqcp_linopy(N):
    dx, dt, h2, yt, wy, wu = lqcp_consts(N)
    m = linopy.Model()
    idx, ui = np.arange(N + 1), np.arange(1, N + 1)
    y = m.add_variables(lower=0, upper=1, coords=[idx, idx], dims=["i", "j"], name="y")
    u = m.add_variables(lower=-1, upper=1, coords=[ui], dims=["i"], name="u")
    nxt = y.shift(i=-1)                                   # nxt[i, j] = y[i + 1, j]
    lap = lambda v: v.shift(j=1) - 2 * v + v.shift(j=-1)  # noqa: E731
    m.add_constraints(h2 * (nxt - y) == 0.5 * dt * (lap(y) + lap(nxt)), name="heat")
    m.add_constraints(y.sel(i=0) == 0, name="start")
    col = lambda j: y.sel(i=slice(1, None)).sel(j=j, drop=True)  # noqa: E731
    m.add_constraints(col(2) - 4 * col(1) + 3 * col(0) == 0, name="left")
    m.add_constraints(col(N - 2) - 4 * col(N - 1) + 3 * col(N) == 2 * dx * (u - col(N)), name="right")
    yN, w = y.sel(i=N, drop=True), xr.DataArray(wy, coords=[idx], dims=["j"])
    # linopy takes no constant in an objective: sum w yt^2 is left out
    m.add_objective((w * yN * yN).sum() - (2 * w * yt * yN).sum()
                    + (xr.DataArray(wu, coords=[ui], dims=["i"]) * u * u).sum())
    return linopy_flat(m)


def lqcp_floor(N):
    dx, dt, h2, yt, wy, wu = lqcp_consts(N)
    n1 = N + 1
    Y, U = np.arange(n1 * n1).reshape(n1, n1), n1 * n1 + np.arange(N)
    i, j = (g.ravel() for g in np.meshgrid(np.arange(N), np.arange(1, N), indexing="ij"))
    k = np.arange(1, n1)
    eq = [(np.stack([Y[i + 1, j], Y[i, j], Y[i, j - 1], Y[i, j + 1], Y[i + 1, j - 1], Y[i + 1, j + 1]]),
           np.array([h2 + dt, dt - h2, -0.5 * dt, -0.5 * dt, -0.5 * dt, -0.5 * dt]), np.zeros(len(i))),
          (Y[0:1, :], np.ones(1), np.zeros(n1)),
          (np.stack([Y[k, 2], Y[k, 1], Y[k, 0]]), np.array([1.0, -4.0, 3.0]), np.zeros(N)),
          (np.stack([Y[k, N - 2], Y[k, N - 1], Y[k, N], U]), np.array([1.0, -4.0, 3.0 + 2 * dx, -2 * dx]),
           np.zeros(N))]
    ncol = n1 * n1 + N
    P = sp.diags(np.r_[np.zeros(N * n1), 2 * wy, 2 * wu], format="csc")
    q = np.r_[np.zeros(N * n1), -2 * wy * yt, np.zeros(N)]
    lb, ub = np.r_[np.zeros(n1 * n1), -np.ones(N)], np.ones(ncol)
    return flat_floor(ncol, q, eq=eq, lb=lb, ub=ub, P=P, const=float(wy @ yt ** 2))


# dense-lp-N -----------------------------------------------------------------

def dense_loop(N, x, y, add, total=sum):
    for i in range(N):
        for j in range(N):
            add(x[i, j] - y[i, j] >= i)
    for i in range(N):
        for j in range(N):
            add(x[i, j] + y[i, j] >= 0)
    return total(2 * x[i, j] + y[i, j] for i in range(N) for j in range(N))


def dense_fh(N, loop):
    m = fh.Model()
    x, y = m.variable((N, N), "x"), m.variable((N, N), "y")
    if loop:
        m.minimize(dense_loop(N, x, y, m.add))
    else:
        m.add(x - y >= np.repeat(np.arange(N, dtype=float)[:, None], N, axis=1), x + y >= 0)
        m.minimize(2 * x.sum() + y.sum())
    return fh_flat(m)


def dense_poi(N):
    model = poi_model()
    x, y = model.add_variables(range(N), range(N)), model.add_variables(range(N), range(N))
    obj = dense_loop(N, x, y, model.add_linear_constraint, poi.quicksum)
    model.set_objective(obj, poi.ObjectiveSense.Minimize)
    return model


def dense_cvxpy(N, loop):
    x, y = cp.Variable((N, N)), cp.Variable((N, N))
    if loop:
        cons = []
        obj = dense_loop(N, x, y, cons.append)
    else:
        cons, obj = [x - y >= np.arange(N)[:, None] * np.ones((1, N)), x + y >= 0], 2 * cp.sum(x) + cp.sum(y)
    prob = cp.Problem(cp.Minimize(obj), cons)
    return prob, prob.get_problem_data(cp.CLARABEL)


def dense_linopy(N):
    m = linopy.Model()
    idx = np.arange(N)
    x = m.add_variables(coords=[idx, idx], dims=["i", "j"], name="x")
    y = m.add_variables(coords=[idx, idx], dims=["i", "j"], name="y")
    m.add_constraints(x - y >= xr.DataArray(idx, coords=[idx], dims=["i"]), name="diff")
    m.add_constraints(x + y >= 0, name="sum")
    m.add_objective((2 * x).sum() + y.sum())
    return linopy_flat(m)


def dense_floor(N):
    n2 = N * N
    k = np.stack([np.arange(n2), n2 + np.arange(n2)])
    ge = [(k, np.array([1.0, -1.0]), np.repeat(np.arange(N, dtype=float), N)),
          (k, np.array([1.0, 1.0]), np.zeros(n2))]
    return flat_floor(2 * n2, np.r_[np.full(n2, 2.0), np.ones(n2)], ge=ge)


# fac-G ----------------------------------------------------------------------

M_BIG = 2 * 1.414


def fac_loop(G, y, s, z, r, d, add, cone, total=sum):
    """fac-G element by element over scalars y[f, c], s[i, j, f],
    z[i, j, f], r[i, j, f, c] and d; cone(i, j, f) states s >= |r| there."""
    F, K = G, G + 1
    cells = [(i, j, f) for i in range(K) for j in range(K) for f in range(F)]
    for i in range(K):
        for j in range(K):
            add(total(z[i, j, f] for f in range(F)) == 1)
    for i, j, f in cells:
        add(s[i, j, f] == d + M_BIG * (1 - z[i, j, f]))
    for i, j, f in cells:
        add(r[i, j, f, 0] == i / G - y[f, 0])
    for i, j, f in cells:
        add(r[i, j, f, 1] == j / G - y[f, 1])
    for i, j, f in cells:
        cone(i, j, f)


def fac_fh(G, loop):
    F, K = G, G + 1
    n = K * K * F
    m = fh.Model()
    y = m.variable((F, 2), "y", lb=0.0, ub=1.0)
    s, z = m.variable((K, K, F), "s", nonneg=True), m.variable((K, K, F), "z", lb=0.0, ub=1.0)
    r, d = m.variable((K, K, F, 2), "r"), m.variable(name="d")
    m.minimize(d)
    if loop:
        # fh.hstack([r[i, j, f, 0], r[i, j, f, 1]]) refuses to stack scalars: the slice stands in
        fac_loop(G, y, s, z, r, d, m.add, lambda i, j, f: m.add(fh.soc(s[i, j, f], r[i, j, f, :])))
        return fh_flat(m)
    m.add(z.sum(axis=2) == 1, s == d + M_BIG * (1 - z))
    # the facilities' coordinates broadcast over the cells, as numpy's
    grid = np.arange(K) / G
    m.add(r[..., 0] == grid[:, None, None] - y[:, 0], r[..., 1] == grid[None, :, None] - y[:, 1],
          fh.soc(s.reshape(n), r.reshape((n, 2)), axis=1))
    return fh_flat(m)


def fac_poi(G):
    F, K = G, G + 1
    model = poi_model()
    cells = (range(K), range(K), range(F))
    y = model.add_variables(range(F), range(2), lb=0.0, ub=1.0)
    s, z = model.add_variables(*cells, lb=0.0), model.add_variables(*cells, lb=0.0, ub=1.0)
    r, d = model.add_variables(*cells, range(2)), model.add_variable()

    def cone(i, j, f):
        t, a, b = s[i, j, f], r[i, j, f, 0], r[i, j, f, 1]
        if hasattr(model, "add_second_order_cone_constraint"):
            model.add_second_order_cone_constraint([t, a, b])
        else:                      # the cone's quadratic form, where the interface takes one
            model.add_quadratic_constraint(a * a + b * b - t * t, poi.Leq, 0.0)
    model.set_objective(d, poi.ObjectiveSense.Minimize)
    fac_loop(G, y, s, z, r, d, model.add_linear_constraint, cone, poi.quicksum)
    return model


def fac_cvxpy(G, loop):
    """CVXPY's variables are matrices: cell (i, j) is row i K + j."""
    F, K = G, G + 1
    y = cp.Variable((F, 2), bounds=[0, 1])
    s, z = cp.Variable((K * K, F), nonneg=True), cp.Variable((K * K, F), bounds=[0, 1])
    r1, r2, d = cp.Variable((K * K, F)), cp.Variable((K * K, F)), cp.Variable()
    if loop:
        cells = [(i, j, i * K + j, f) for i in range(K) for j in range(K) for f in range(F)]
        cons = [sum(z[k, f] for f in range(F)) == 1 for k in range(K * K)]
        cons += [s[k, f] == d + M_BIG * (1 - z[k, f]) for i, j, k, f in cells]
        cons += [r1[k, f] == i / G - y[f, 0] for i, j, k, f in cells]
        cons += [r2[k, f] == j / G - y[f, 1] for i, j, k, f in cells]
        cons += [cp.SOC(s[k, f], cp.hstack([r1[k, f], r2[k, f]])) for i, j, k, f in cells]
    else:
        gi, gj = np.divmod(np.arange(K * K), K)
        spread = lambda v: np.ones((K * K, 1)) @ cp.reshape(v, (1, F), order="C")  # noqa: E731
        cons = [cp.sum(z, axis=1) == 1, s == d + M_BIG * (1 - z),
                r1 == (gi / G)[:, None] * np.ones((1, F)) - spread(y[:, 0]),
                r2 == (gj / G)[:, None] * np.ones((1, F)) - spread(y[:, 1]),
                cp.SOC(cp.vec(s, order="C"), cp.vstack([cp.vec(r1, order="C"), cp.vec(r2, order="C")]), axis=0)]
    prob = cp.Problem(cp.Minimize(d), cons)
    return prob, prob.get_problem_data(cp.CLARABEL)


def fac_linopy(G):
    raise NotImplementedError("linopy states no cone and no quadratic row")


def fac_floor(G):
    F, K = G, G + 1
    n = K * K * F
    Y = np.arange(2 * F).reshape(F, 2)
    S, Z = 2 * F + np.arange(n), 2 * F + n + np.arange(n)
    R = 2 * F + 2 * n + np.arange(2 * n).reshape(n, 2)
    D = np.full(n, 2 * F + 4 * n)
    f = np.tile(np.arange(F), K * K)
    gi, gj = (np.repeat(g, F) / G for g in np.divmod(np.arange(K * K), K))
    eq = [(Z.reshape(K * K, F).T, np.ones(F), np.ones(K * K)),
          (np.stack([S, D, Z]), np.array([1.0, -1.0, M_BIG]), np.full(n, M_BIG)),
          (np.stack([R[:, 0], Y[f, 0]]), np.ones(2), gi),
          (np.stack([R[:, 1], Y[f, 1]]), np.ones(2), gj)]
    inf = np.full(n, np.inf)
    lb = np.r_[np.zeros(2 * F + 2 * n), -inf, -inf, -np.inf]
    ub = np.r_[np.ones(2 * F), inf, np.ones(n), inf, inf, np.inf]
    q = np.zeros(D[0] + 1)
    q[-1] = 1.0
    return flat_floor(D[0] + 1, q, eq=eq, lb=lb, ub=ub, socs=np.column_stack([S, R]))


# running ---------------------------------------------------------------------

def linopy_flat(m):
    mat = m.matrices
    return m, mat.A, mat.b, mat.sense, mat.lb, mat.ub, mat.c, mat.Q


def solve_floor(fl):
    """The floor's problem through Clarabel: its value."""
    import clarabel
    P, q, const, A, b, cones = fl
    kind = {"zero": clarabel.ZeroConeT, "nonneg": clarabel.NonnegativeConeT, "soc": clarabel.SecondOrderConeT}
    settings = clarabel.DefaultSettings()
    settings.verbose, settings.tol_gap_abs, settings.tol_gap_rel, settings.tol_feas = False, 1e-10, 1e-10, 1e-10
    P = sp.triu(P).tocsc() if P is not None else sp.csc_matrix((len(q), len(q)))
    sol = clarabel.DefaultSolver(P, q, A, b, [kind[k](d) for k, d in cones], settings).solve()
    return sol.obj_val + const


def styles(f):
    return tuple(functools.partial(f, loop=loop) for loop in (True, False))


# rows: about how many rows each size has (CVXPY's loops stop above CVXPY_LOOP_ROWS);
# tiny: a size run once before the first timing
MODELS = {
    "lqcp": dict(fh=styles(lqcp_fh), poi=lqcp_poi, cvxpy=styles(lqcp_cvxpy), linopy=lqcp_linopy,
                 floor=lqcp_floor, rows=lambda N: N * N, tiny=4),
    "dense-lp": dict(fh=styles(dense_fh), poi=dense_poi, cvxpy=styles(dense_cvxpy), linopy=dense_linopy,
                     floor=dense_floor, rows=lambda N: 2 * N * N, tiny=2),
    "fac": dict(fh=styles(fac_fh), poi=fac_poi, cvxpy=styles(fac_cvxpy), linopy=fac_linopy,
                floor=fac_floor, rows=lambda G: 7 * (G + 1) ** 2 * G, tiny=1),
}
STYLES = ("loop", "vector")


def versions():
    def version(name):
        try:
            return md.version(name)
        except md.PackageNotFoundError:
            return "not installed"
    names = ("fragments", "numpy", "scipy", "clarabel", "cvxpy", "pyoptinterface", "highsbox", "linopy", "xarray")
    print(f"python {sys.version.split()[0]}, " + ", ".join(f"{n} {version(n)}" for n in names))


def run(name, sizes, budget):
    entry = MODELS[name]
    installed = {"fh": True, "floor": True, "poi": poi is not None, "cvxpy": cp is not None,
                 "linopy": linopy is not None}
    slow, notes, tried = set(), {}, set()   # past the budget; why a tool cannot run; warmed up

    def stateable(tool, style, f):
        """Whether the tool can be timed (installed, within the budget, and
        able to state a tiny instance, run first: imports, and what cannot
        be stated), else the cell it gets."""
        if not installed[tool]:
            notes[tool] = "not installed"
        if tool in notes:
            return "n/a"
        if (tool, style) in slow:
            return "skipped"
        if (tool, style) not in tried:
            tried.add((tool, style))
            try:
                f(entry["tiny"])
            except (NotImplementedError, AttributeError, TypeError, ValueError) as err:
                notes[tool] = f"{type(err).__name__}: {err}"
                return "n/a"
        return None

    def timed(tools, n):
        """{(tool, style): (seconds or the cell, last result)} of the tools
        timed in turn (see rotation)."""
        out, fs = {}, {}
        for tool, style, f in tools:
            cell = stateable(tool, style, f)
            if cell is None:
                fs[(tool, style)] = functools.partial(f, n)
            else:
                out[(tool, style)] = (cell, None)
        # the garbage of the tools timed before is not these ones' to pay
        # (nothing is collected between their own runs)
        gc.collect()
        out.update(rotation(fs) if fs else {})
        for key, (t, _) in out.items():
            if isinstance(t, float) and t > budget:
                slow.add(key)
        return out

    def cell(c, width, digits):
        return f"{c:>{width}.{digits}f}" if isinstance(c, float) else f"{c:>{width}}"

    print(f"\n{name}")
    print(f"{'size':>6} {'style':7} {'rows':>8} {'fh [s]':>10} {'PyOptInt [s]':>12} {'floor [s]':>10}"
          f" {'CVXPY [s]':>10} {'linopy [s]':>10} {'fh/POI':>8} {'fh/floor':>9}")
    for n in sizes:
        # the tools of the ratios in turn: fragments_host both ways,
        # PyOptInterface and the floor
        got = timed([("poi", "loop", entry["poi"]), ("floor", "vector", entry["floor"])]
                    + [("fh", style, f) for style, f in zip(STYLES, entry["fh"])], n)
        tp, tf = got[("poi", "loop")][0], got[("floor", "vector")][0]
        for k, style in enumerate(STYLES):
            th, out = got[("fh", style)]
            rows = out[1][1].shape[0] if out is not None else "-"
            del out
            if style == "loop" and entry["rows"](n) > CVXPY_LOOP_ROWS:
                tc = "n/a"
                notes.setdefault("cvxpy loop", f"not run above about {CVXPY_LOOP_ROWS} rows")
            else:
                tc = timed([("cvxpy", style, entry["cvxpy"][k])], n)[("cvxpy", style)][0]
            tl = timed([("linopy", style, entry["linopy"])], n)[("linopy", style)][0] if style == "vector" else "n/a"
            ratios = [th / o if isinstance(th, float) and isinstance(o, float) else "n/a" for o in (tp, tf)]
            print(f"{n:6d} {style:7} {rows:>8} " + " ".join(
                [cell(c, w, 4) for c, w in zip((th, tp, tf, tc, tl), (10, 12, 10, 10, 10))]
                + [cell(r, w, 2) for r, w in zip(ratios, (8, 9))]))
        got = None
    for tool, why in notes.items():
        print(f"  {tool}: n/a, {why}")


def linearity(name, sizes):
    """fragments_host's element-by-element statement at every size, the
    sizes timed in turn (one run of each per round, as the tools of a
    row): its cost per solver row, each size's against the smallest's.
    The table's rows are timed minutes apart, and on a shared host a
    large model's run moves by 1.5x between them on the same code."""
    entry = MODELS[name]
    loop = entry["fh"][STYLES.index("loop")]
    gc.collect()
    got = rotation({n: functools.partial(loop, n) for n in sizes})
    per = {n: t / out[1][1].shape[0] for n, (t, out) in got.items()}
    got = None
    first = per[sizes[0]]
    print("  loop per row, sizes in turn: " + ", ".join(f"{n}: {per[n] * 1e6:.2f} us" for n in sizes)
          + f"; largest / smallest {per[sizes[-1]] / first:.2f}, most / least {max(per.values()) / min(per.values()):.2f}")


def check(name, n):
    entry = MODELS[name]
    tight = dict(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
    flats, values = [], {}
    for style, f in zip(STYLES, entry["fh"]):
        m, (q, A, b, cones), P = f(n)
        flats.append((A.shape, A.nnz, None if P is None else P.nnz))
        values[f"fh {style}"] = m.solve(**tight)
    if cp is not None:
        prob, _ = entry["cvxpy"][1](n)
        values["CVXPY"] = prob.solve(solver=cp.CLARABEL, **tight)
    fl = entry["floor"](n)
    values["floor"] = solve_floor(fl)
    if poi is not None:
        try:                          # HiGHS's own tolerances, not tightened
            model = entry["poi"](n)
            model.optimize()
            values["PyOptInterface/HiGHS"] = model.get_model_attribute(poi.ModelAttribute.ObjectiveValue)
        except AttributeError:        # a model it cannot state
            pass
    ref = values["fh vector"]
    print(f"check {name}-{n}: " + ", ".join(
        f"{k} {v:.10g} (rel. diff. {abs(v - ref) / max(abs(v), abs(ref), 1e-300):.1e})" for k, v in values.items()))
    same = "same" if flats[0] == flats[1] else "DIFFERENT"
    print(f"  fh flat problems (A.shape, A.nnz, P.nnz): loop {flats[0]}, vector {flats[1]}: {same}; "
          f"floor's {(fl.A.shape, fl.A.nnz, None if fl.P is None else sp.triu(fl.P).nnz)}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", default="lqcp,dense-lp,fac")
    ap.add_argument("--sizes", default="50,100,300")
    ap.add_argument("--fac-sizes", default="5,10,20")
    ap.add_argument("--budget", type=float, default=60.0)
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--linearity", action=argparse.BooleanOptionalAction, default=True)
    args = ap.parse_args()
    versions()
    for name in args.models.split(","):
        sizes = [int(s) for s in (args.fac_sizes if name == "fac" else args.sizes).split(",")]
        if args.check:
            check(name, min(sizes))
        run(name, sizes, args.budget)
        if args.linearity:
            linearity(name, sizes)


if __name__ == "__main__":
    main()
