"""The package's layers: each module of fragments_host imports only modules
that stand below it on the road of a model (what a higher layer builds is set
on the lower classes by that layer), so the package imports alone in a fresh
interpreter and every operator wired from above works there."""
import ast
import json
import math
import pathlib
import re
import subprocess
import sys

import numpy as np

import fragments_host

# the package the suite imports (a checkout's, or the installed one)
PACKAGE = pathlib.Path(fragments_host.__file__).resolve().parent

# bottom to top; the package's __init__ stands above every module
LAYERS = ["errors", "data", "names", "kernels", "stacks", "curvature", "deferred", "numpy_protocol", "expressions",
          "constraints", "functions", "terms", "reductions", "translate", "solution", "solver_base",
          "solver_clarabel", "solver_scs", "solver_osqp", "solver_highs", "solver_ecos", "solver_scip", "solver", "pickling",
          "batch", "model", "__init__"]
# the solver backends a checkout may lack (the dispatch finds them by name)
OPTIONAL = set()


def _imported(tree, where):
    """The package's modules that a module's source imports, at module level
    or inside functions: (line, module)."""
    out = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            if node.level == 1:
                names = [node.module] if node.module else [a.name for a in node.names]
            elif node.level == 0 and (node.module or "").split(".")[0] == "fragments_host":
                rest = node.module.split(".")[1:]
                names = rest[:1] if rest else [a.name for a in node.names]
            else:
                assert node.level == 0, f"{where}:{node.lineno}: an import from outside the package"
                continue
            out += [(node.lineno, n.split(".")[0]) for n in names]
        elif isinstance(node, ast.Import):
            for a in node.names:
                parts = a.name.split(".")
                if parts[0] == "fragments_host":
                    out.append((node.lineno, parts[1] if len(parts) > 1 else "__init__"))
    return sorted(out)


def test_each_module_imports_only_the_layers_below_it():
    modules = sorted(p.stem for p in PACKAGE.glob("*.py"))
    assert set(LAYERS) - OPTIONAL <= set(modules) <= set(LAYERS), "every module has its place in LAYERS"
    rank = {name: k for k, name in enumerate(LAYERS)}
    upward = []
    for name in [n for n in LAYERS if n in modules]:
        path = PACKAGE / f"{name}.py"
        for line, target in _imported(ast.parse(path.read_text(), str(path)), path.name):
            if target not in rank:
                upward.append(f"{path.name}:{line} imports {target}, which is no module of the package")
            elif rank[target] >= rank[name]:
                upward.append(f"{path.name}:{line} imports {target}, which does not stand below {name}")
    assert not upward, "\n".join(upward)
    # the package's docstring walks the same road
    named = [w for w in re.findall(r"`(\w+)`", fragments_host.__doc__) if w in rank]
    assert named == LAYERS[:-1]


MODEL = """
import json
import pathlib
import numpy as np
import fragments_host as fh
assert pathlib.Path(fh.__file__).resolve().parent == pathlib.Path(%r), fh.__file__
m = fh.Model()
x = m.variable(2, "x")
s = m.variable((), "s")
rows = m.add(np.concatenate([x, x]) >= np.array([1.0, 2.0, 1.0, 2.0]))   # constraints' comparison
bound = m.add(x[0] + s <= 4)                                             # a term list's row
ball = m.add(s >= fh.norm(x - 3))                                        # a function on the right
m.minimize(abs(x[0]) + x[1] ** 2 + s)                                    # functions' abs and **
m.solve(tol_gap_abs=1e-10, tol_gap_rel=1e-10, tol_feas=1e-10)
print(json.dumps([m.status, m.value, x.value.tolist(), rows.dual.tolist(), float(bound.dual), float(ball.dual)]))
"""


def test_the_package_imports_alone_and_solves_a_model():
    # run beside the package the suite imports, so that the fresh
    # interpreter finds that one first
    out = subprocess.run([sys.executable, "-c", MODEL % str(PACKAGE)], capture_output=True, text=True,
                         cwd=PACKAGE.parent, timeout=120)
    assert out.returncode == 0, out.stderr
    status, value, xs, rows, bound, ball = json.loads(out.stdout)
    # at x = (1, 2) on its bounds, s = ||x - 3|| = sqrt 5: each bound's two
    # rows share the objective's slope there, x0 + s <= 4 is slack, and the
    # ball's dual is the weight of s
    r5 = math.sqrt(5.0)
    assert status == "optimal"
    assert np.allclose([value, *xs, bound, ball], [5.0 + r5, 1.0, 2.0, 0.0, 1.0], atol=1e-6)
    assert np.allclose(rows, [(1 - 2 / r5) / 2, (4 - 1 / r5) / 2] * 2, atol=1e-6)
