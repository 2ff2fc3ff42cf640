"""The README's quick start, columns and Arrow tables examples run as written."""
import pathlib
import re

import pytest

from conftest import import_arrow_library

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


@pytest.mark.parametrize("heading", ["## Quick start", "## Columns", "## Arrow tables"])
def test_example_runs(heading):
    if heading == "## Arrow tables" and None in map(import_arrow_library, ("pyarrow", "polars", "duckdb", "pandas")):
        pytest.skip("pyarrow, polars, duckdb or pandas is not installed")
    text = README.read_text(encoding="utf-8")
    section = text[text.index(heading):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    exec(compile(code, "README " + heading[3:], "exec"), {})
