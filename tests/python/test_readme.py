"""The README's quick start and columns example run as written."""
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


@pytest.mark.parametrize("heading", ["## Quick start", "## Columns"])
def test_example_runs(heading):
    text = README.read_text(encoding="utf-8")
    section = text[text.index(heading):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    exec(compile(code, "README " + heading[3:], "exec"), {})
