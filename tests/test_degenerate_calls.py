"""Empty and degenerate calls of designed kernels: an empty range reads
nothing (None may stand for every array it would not need) and a zero extent
or divisor does nothing. Each call runs in a fresh interpreter, so that a
crash (a null read, a division by zero) is reported as this case failing
rather than ending the run; the case prints the kernel's result and the
arrays it was handed, and the test compares that text."""
import subprocess
import sys

import pytest

# (statements; expression, expected printout of the expression). `I32` / `I64`
# build arrays.
CASES = {
    "595 n=0 reads no a[k]": ("F._c_closure_595(None, None, None, 0, 0, 0)", "None"),
    "595 n<0 reads no a[k]": ("F._c_closure_595(None, None, None, 3, -1, 0)", "None"),
    "238 m=1 reads no sdims": ("o = I32([-5, -5]); F._c_closure_238(1, o, None); o.tolist()",
                               "[0, -5]"),
    "238 reads sdims[0..m-2]": ("o = I32([-5] * 4); F._c_closure_238(3, o, I32([2, 7])); o.tolist()",
                                "[0, 2, 9, -5]"),
    "209 n=0 reads no perm": ("F._c_closure_209(3, 0, None, None, None, None)", "None"),
    "208 n=0 reads no perm": ("F._c_closure_208(None, 3, 0, None, None, None, None)", "None"),
    "274 all zero": ("r = I32([9, 9]); F._c_closure_274(0, r, I32([0, 0])); r.tolist()", "[9, 9]"),
    "274 zero inner extent": ("r = I32([9, 9, 9]); F._c_closure_274(5, r, I32([2, 3, 0])); r.tolist()",
                              "[9, 9, 9]"),
    "274 zero axis 0 divides nothing": ("r = I32([9, 9]); F._c_closure_274(7, r, I32([0, 3])); r.tolist()",
                                        "[2, 1]"),
    "185 zero extent": ("F._c_closure_185(I32([0, 0]), I32([0, 0]), I32([4, 4]), 2, 3, I32([4, 0]), I64([1, 2]))",
                        "3"),
    "186 zero extent": ("i = I64([-1] * 3); s = I64([-1] * 3); "
                        "r = F._c_closure_186(I64([5, 6]), I32([0, 0]), 2, i, I32([0, 0]), I32([4, 4]), 1, "
                        "I32([0, 4]), I32([4, 4]), s, I64([1, 2])); r, i.tolist(), s.tolist()",
                        "(1, [-1, -1, -1], [-1, -1, -1])"),
    "240 zero block": ("sp = I64([1, 2, 4]); "
                       "r = F._c_closure_240(2, 0, 2, 5, I32([2, 1]), I32([0, 1]), sp, I32([0, 3])); r, sp.tolist()",
                       "(3, [1, 2, 6])"),
    "482 m=0": ("F._c_closure_482(0, 0, I64([3, 4]), 2, 5, 0)", "5"),
}

PRELUDE = """
import numpy as np, fragments as F
I32 = lambda v: np.array(v, np.int32)
I64 = lambda v: np.array(v, np.int64)
{setup}
print(repr(({result})))
"""


@pytest.mark.parametrize("call,expect", list(CASES.values()), ids=list(CASES))
def test_degenerate_call(call, expect):
    setup, _, result = call.rpartition("; ")  # statements, then the expression printed
    code = PRELUDE.format(setup=setup.replace("; ", "\n"), result=result)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, f"interpreter ended with {out.returncode}: {out.stderr[-400:]}"
    assert out.stdout.strip() == expect
