"""The user guide's examples in README run as written, one after another in
one namespace, as a reader would paste them."""
import pathlib
import re

import pytest

pytest.importorskip("clarabel")


def test_user_guide_examples_run():
    text = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert len(blocks) >= 4
    namespace = {}
    for block in blocks:
        exec(compile(block, "README.md", "exec"), namespace)
