"""Every fenced Python block of the README runs as given, each as a script of its own (the
way a reader pastes it), at a small size. The one rule by which blocks are shrunk: every
integer written with digit-group underscores (1_000_000) is divided by 1000."""
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
FENCED = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)
GROUPED = re.compile(r"\b\d{1,3}(?:_\d{3})+\b")
OPTIONAL = ("numexpr", "dask", "distributed")


def readme_blocks():
    text = README.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start()) + 1, m.group(1)) for m in FENCED.finditer(text)]


def shrunk(code):
    return GROUPED.sub(lambda m: str(int(m.group().replace("_", "")) // 1000), code)


BLOCKS = readme_blocks()


def test_the_shrinking_rule():
    assert shrunk("random(100_000_000, chunks=5_000_000) + 1e6 + 1_000") == \
        "random(100000, chunks=5000) + 1e6 + 1"
    assert len(BLOCKS) >= 6  # the fence pattern still finds the README's blocks


@pytest.mark.parametrize("line,code", BLOCKS, ids=[f"line {line}" for line, _ in BLOCKS])
def test_readme_block_runs_as_given(line, code, tmp_path):
    for module in OPTIONAL:
        if re.search(rf"^\s*(import|from) {module}\b", code, re.M):
            pytest.importorskip(module)
    script = tmp_path / f"readme_line_{line}.py"
    script.write_text(shrunk(code), encoding="utf-8")
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=240)
    assert done.returncode == 0, f"README block at line {line}:\n{done.stdout}{done.stderr}"
