"""Every Python example in the README runs, so the documentation cannot rot."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 1


@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example_runs(index, tmp_path, monkeypatch):
    monkeypatch.chdir(README.parent)
    exec(compile(BLOCKS[index], f"README.md[example {index + 1}]", "exec"), {"__name__": "__readme__"})
