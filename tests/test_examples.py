"""The demonstration that README's first command runs must keep working."""
import pathlib
import subprocess
import sys


def test_demo_runs_and_prints_the_sum_and_the_transpose():
    demo = pathlib.Path(__file__).resolve().parents[1] / "examples" / "demo.py"
    out = subprocess.run([sys.executable, str(demo)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "[1, 2]: 4*x3 + 1 + -1*x5" in out.stdout       # 2*E - F at (1, 2)
    assert "[2, 1]: 2*x3 + 0.5" in out.stdout             # E transposed at (2, 1)
    assert "p = -0.5: E[0, 0] x1: -0.5, E[0, 0] x0: -0.25" in out.stdout   # p * E evaluated
    assert "E[1, 2] x3: 4," in out.stdout                                  # ... and for p = 2
    assert "upper triangle of 3 x 3: 6 indices [0, 1, 2, 4, 5, 8]" in out.stdout
