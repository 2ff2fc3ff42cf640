"""The README's quick start runs as written."""
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_quick_start_runs():
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## Quick start"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    exec(compile(code, "README quick start", "exec"), {})
