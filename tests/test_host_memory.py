"""A model the user drops is freed at once: no reference cycles among its
parts, so neither its arrays nor its solver wait for the cycle collector.
The collector is switched off while a model is stated and solved, so that
a cycle shows as an object the collector then finds."""
import gc
import tracemalloc
import weakref

import numpy as np
import pytest

import fragments_host as fh


def _statement(rng, n=4):
    """A model using every part that holds state: bounds of each kind,
    parameters, linear rows and runs of alike rows, every cone, functions
    reduced in constraints and in the objective, a quadratic objective, a
    semidefinite variable; solved, re-solved after a parameter change,
    with a constraint removed, and read back."""
    A = rng.normal(size=(6, n))
    m = fh.Model()
    x = m.variable(n, "x", lb=-1.0, ub=([[0], [2]], [0.5, 0.7]))
    y = m.variable(n, "y", nonneg=True)
    t = m.variable(name="t")
    b = m.parameter(6, "b", value=rng.normal(size=6))
    w = m.parameter(name="w", nonneg=True, value=0.5)
    X = m.semidefinite(3, "X")
    rows = [m.add(x[i] + y[i] <= 1.0 + i) for i in range(n)]
    m.add(fh.soc(t, A @ x - b), fh.rsoc(y[0], y[1], x[2:]), X.sum() <= 2.0)
    m.add(fh.exp_cone(x[0], y[2] + 1.0, y[3] + 3.0), fh.power_cone(y[0] + 1, y[1] + 1, x[1], 0.4))
    nrm = m.add(fh.norm(x - 0.1) <= 3.0)
    m.add(fh.log_sum_exp(x) <= 5.0, fh.min(x) >= -2.0)
    m.minimize(t + w * fh.sum_squares(x) + fh.norm1(y) - fh.log(y[0] + 1) + fh.quad_form(x, np.eye(n))
               + X[0, 0])
    m.solve()
    assert m.status == "optimal"
    b.value = rng.normal(size=6)
    m.solve()
    m.remove(rows[0], nrm)
    m.solve()
    assert m.status == "optimal"
    x.value, rows[1].dual, x.lower_dual, (A @ x).value, X.cone.dual
    return m, (x, rows[1])


def test_dropped_model_is_freed_at_once_and_leaves_no_cycles():
    rng = np.random.default_rng(0)
    _statement(rng)                   # first use: imports and caches
    gc.collect()
    gc.disable()
    try:
        m, kept = _statement(rng)
        ref = weakref.ref(m)
        del m
        assert ref() is None, "the model lives on after its last reference was dropped"
        # the parts kept by the user still answer from the state they share
        x, row = kept
        assert x.value is not None and row.dual is not None
        del kept, x, row
        found = gc.collect()
    finally:
        gc.enable()
    assert found == 0, f"{found} objects of the model were held in reference cycles"


def test_a_dropped_model_cannot_be_stated_with_but_its_algebra_still_works():
    def parts():
        m = fh.Model("gone")
        return m.variable(3, "x")
    x = parts()
    e = 2 * x + 1
    assert e.shape == (3,) and fh.norm(e).curvature == "convex"
    with pytest.raises(fh.ModelError, match="no longer exists"):
        x.model


def test_memory_flat_over_a_thousand_builds_without_collecting():
    rng = np.random.default_rng(1)
    A = rng.normal(size=(30, 10))

    def build():
        m = fh.Model()
        x = m.variable(10, "x", lb=-1.0, ub=1.0)
        m.add(A @ x <= 1.0, fh.norm(x) <= 2.0)
        m.minimize(fh.sum_squares(A @ x - 1.0) + x.sum())
        m.flat_problem()

    for _ in range(50):
        build()
    gc.disable()
    tracemalloc.start()
    try:
        for _ in range(100):
            build()
        early = tracemalloc.get_traced_memory()[0]
        for _ in range(900):
            build()
        late = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
        gc.enable()
    # a model kept alive by a cycle holds tens of kilobytes: 900 of them
    # would be tens of megabytes
    assert late - early < 200_000, f"memory grew by {late - early} bytes over 900 builds"
