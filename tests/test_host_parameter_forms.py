"""Parameters as CVXPY's DPP rules take them: affine expressions of
parameters (sums, constant products, indexing, transposes, axis sums)
times variables, with signs that follow the declared ones, as coefficients
of convex functions, and parameter-convex constants beside variables.
Each model is stated alike in CVXPY; both are solved with Clarabel at two
sets of parameter values (the second a re-solve of the kept solver), and
the optimum, the primal values and the duals agree."""
import numpy as np
import pytest

cp = pytest.importorskip("cvxpy")
pytest.importorskip("clarabel")

import fragments_host as fh  # noqa: E402

TIGHT = dict(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)


def _both(F, m=None):
    """The operands in fragments_host (F is fh, m its model) or CVXPY."""
    if F is fh:
        return dict(x=m.variable(3, "x"), t=m.variable(name="t"), q=m.parameter((), "q", nonneg=True),
                    r=m.parameter((), "r", nonpos=True), p=m.parameter(3, "p"), P=m.parameter((2, 3), "P"))
    return dict(x=cp.Variable(3), t=cp.Variable(), q=cp.Parameter(nonneg=True), r=cp.Parameter(nonpos=True),
                p=cp.Parameter(3), P=cp.Parameter((2, 3)))


C = np.array([[1.0, -2.0], [0.5, 1.0], [2.0, 0.0]])
# (sense, objective, constraints) over the operands o and the package F
MODELS = {
    "scaled-norm": ("min", lambda F, o: (o["q"] + 1) * F.norm(o["x"] - o["p"]) + 2 * o["q"] * o["x"].sum(),
                    lambda F, o: [o["x"] >= -1]),
    "negated-in-maximize": ("max", lambda F, o: o["r"] * F.norm(o["x"] - 1.0) - (-o["q"]) * o["x"][0],
                            lambda F, o: [o["x"] <= 2]),
    "vector-products": ("min", lambda F, o: o["p"] @ o["x"] + o["t"],
                        lambda F, o: [o["x"] @ o["p"] >= -1, o["p"][0] * o["x"] >= -2, o["t"] >= F.norm(o["x"])]),
    "matrix-forms": ("min", lambda F, o: (np.ones(2) @ o["P"]) @ o["x"] + F.sum_squares(o["x"]) + o["t"],
                     lambda F, o: [(o["P"] + 1) @ o["x"] <= 3, (o["P"].T @ C.T).T @ o["x"] >= -4,
                                   o["P"][:, 1:].sum(axis=1) * o["t"] <= 5, o["t"] >= -1]),
    "constant-of-parameters": ("min", lambda F, o: F.sum_squares(o["x"] - o["p"]) + o["q"] ** 2 + o["t"],
                               lambda F, o: [o["t"] >= o["q"] * 2 - o["x"].sum(), o["t"] >= o["p"].sum() * 0.5]),
}
VALUES = [dict(q=1.5, r=-0.5, p=[1.0, -2.0, 0.5], P=[[1.0, 0.5, -1.0], [2.0, 0.0, 1.0]]),
          dict(q=0.2, r=-2.0, p=[-0.5, 1.0, 2.0], P=[[0.5, -1.0, 1.0], [1.0, 1.0, 0.0]])]


@pytest.mark.parametrize("name", sorted(MODELS))
def test_parameter_forms_against_cvxpy(name):
    sense, objective, constraints = MODELS[name]
    m = fh.Model()
    o, oc = _both(fh, m), _both(cp)
    cons = constraints(cp, oc)
    rows = [m.add(c) for c in constraints(fh, o)]
    (m.minimize if sense == "min" else m.maximize)(objective(fh, o))
    prob = cp.Problem((cp.Minimize if sense == "min" else cp.Maximize)(objective(cp, oc)), cons)
    for again, values in enumerate(VALUES):
        for k, v in values.items():
            o[k].value = v
            oc[k].value = np.asarray(v, float)
        want = prob.solve(solver=cp.CLARABEL, **TIGHT)
        assert m.solve(**TIGHT) == pytest.approx(want, rel=1e-6, abs=1e-7)
        assert m.solver_stats.reused == bool(again)
        for k in ("x", "t") if oc["t"].value is not None else ("x",):
            np.testing.assert_allclose(o[k].value, oc[k].value, rtol=1e-5, atol=1e-6)
        for r, c in zip(rows, cons):
            np.testing.assert_allclose(r.dual, c.dual_value, rtol=1e-5, atol=1e-6)


def test_parameter_expressions_values_and_signs():
    """Values of parameter expressions against numpy, signs as CVXPY gives
    them, a parameter unset and set again."""
    m = fh.Model()
    o, oc = _both(fh, m), _both(cp)
    for k, v in VALUES[0].items():
        o[k].value = v
        oc[k].value = np.asarray(v, float)
    forms = [lambda F, o: -o["q"], lambda F, o: 2 * o["q"] + 1, lambda F, o: o["q"] - o["r"],
             lambda F, o: o["r"] * 3 - o["q"], lambda F, o: o["p"] + o["q"], lambda F, o: o["P"].T,
             lambda F, o: o["P"][1, ::-1] * 2 - o["p"], lambda F, o: o["P"] @ C, lambda F, o: C.T @ o["P"].T,
             lambda F, o: o["P"].sum(axis=0) / 2, lambda F, o: o["q"] * np.arange(3.0)]
    for f in forms:
        a, b = f(fh, o), f(cp, oc)
        np.testing.assert_allclose(a.value, b.value, rtol=1e-12)
        assert a.sign == {"NONNEGATIVE": "nonnegative", "NONPOSITIVE": "nonpositive"}.get(b.sign, "unknown"), b
    o["p"].value = None
    assert (o["p"] + 1).value is None
    m.add(o["x"] >= o["p"])
    m.minimize(o["x"].sum())
    with pytest.raises(fh.ParameterError, match="p"):
        m.solve()
    o["p"].value = [1.0, 2.0, 3.0]
    assert m.solve() == pytest.approx(6.0, rel=1e-6)


@pytest.mark.parametrize("bad, match", [
    (lambda o: (o["q"] * o["r"]) * o["x"], "two parameter"),
    (lambda o: o["p"] @ o["P"].T, "two parameter"),
    (lambda o: fh.norm(o["x"]) / o["q"], "not affine in the parameters"),
    (lambda o: o["q"] ** 2 * o["x"], "not affine"),
    (lambda o: o["q"] ** 0.5, "integers"),
    (lambda o: o["x"].model.minimize((o["q"] - o["r"] - 1) * fh.norm(o["x"])), "unknown sign"),
    (lambda o: o["P"] @ o["x"][:2], "shape"),
])
def test_parameter_refusals(bad, match):
    m = fh.Model()
    o = _both(fh, m)
    with pytest.raises((fh.ModelError, fh.ShapeError), match=match):
        bad(o)
