"""Every example runs to its end at a small size and prints what it promises."""
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

CASES = [
    ("haversine.py", ["--n", "20000", "--repeat", "1"], ["NumPy", "qv.evaluate", "agreement"]),
    ("pipeline.py", ["--producers", "3", "--chunks", "5", "--n", "5000"],
     ["received 15 results", "results equal to NumPy's: 15 of 15",
      "channels closed and drained: 3 of 3"]),
    ("nan_rules.py", ["--n", "20000"], ["every result follows its rule"]),
    ("dask_haversine.py", ["--n", "200000", "--chunk", "50000"],
     ["Dask + NumPy", "Dask + quorvaline", "agreement of the means"]),
]


@pytest.mark.parametrize("script,args,expected", CASES, ids=[c[0] for c in CASES])
def test_example_runs(script, args, expected):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    for text in expected:
        assert text in done.stdout
