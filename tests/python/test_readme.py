"""The README's Python example runs as printed, without a warning."""

import contextlib
import io
import re
import warnings

import pytest

from conftest import REPO


def test_readme_python_example_runs():
    pytest.importorskip("scipy.signal")
    text = (REPO / "README.md").read_text()
    section = text[text.index("## Using from Python"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert len(code.strip().splitlines()) <= 11
    out = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(out):
        warnings.simplefilter("error")
        exec(compile(code, "README.md", "exec"), {})
    assert out.getvalue().startswith("float64 (4096,) ")
