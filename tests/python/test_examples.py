"""Every example runs to its end at a small size and prints what it promises; the bench
scripts' options say what they take."""
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"

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


@pytest.mark.parametrize("script,args,status,expected", [
    ("bench_workloads.py", ["--only", "haversine,nosuch"], 2,
     ["unknown formula nosuch", "haversine, black_scholes"]),
    ("bench_workloads.py", ["--help"], 0, ["clip", "1e5,1e6"]),
    ("bench_workloads.py", ["--sizes", "1e5,x"], 2, ["not a list of counts"]),
    ("bench_channels.py", ["--help"], 0, ["messages per run"]),
])
def test_bench_options(script, args, status, expected):
    done = subprocess.run([sys.executable, str(ROOT / "bench" / script), *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == status, done.stdout + done.stderr
    for text in expected:
        assert text in done.stdout + done.stderr
