"""The benchmark runner's report when a peer is missing (bench/ is not a package: it is run
as a script, so it is copied beside families made up for the test)."""
import os
import shutil
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")

FAMILIES = {
    "peers": '"""Peers listed but not installed."""\nPEERS = ("no_such_peer_a", "numpy")\n'
             'def run(table):\n    pass\n',
    "needs": '"""Needs a package at import."""\nimport no_such_peer_b\n',
}


@pytest.mark.parametrize("family, package", [("peers", "no_such_peer_a"), ("needs", "no_such_peer_b")])
def test_a_missing_peer_is_reported_as_skipped(tmp_path, family, package):
    for name in ("run.py", "common.py", "environment.py"):
        shutil.copy(os.path.join(BENCH, name), tmp_path)
    (tmp_path / f"bench_{family}.py").write_text(FAMILIES[family])
    out = subprocess.run([sys.executable, str(tmp_path / "run.py"), family, "--out", str(tmp_path / "out")],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    line = f"skipped: {package} is not installed"
    assert line in out.stdout
    table = (tmp_path / "out" / f"{family}.md").read_text()
    assert f"| {line} |" in table and "numpy is not installed" not in table
