"""The user guide's examples in README run as written, one after another in
one namespace, as a reader would paste them (an example on a Dask cluster
where dask.distributed is installed)."""
import importlib.util
import pathlib
import re

import pytest

pytest.importorskip("clarabel")


def test_user_guide_examples_run():
    text = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert len(blocks) >= 4
    namespace = {}
    dask = importlib.util.find_spec("distributed") is not None
    for block in blocks:
        if "from distributed import" in block and not dask:
            continue
        exec(compile(block, "README.md", "exec"), namespace)
