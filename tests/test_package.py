"""What a user meets first: the README's example and the installed package's metadata."""
import contextlib
import io
import pathlib
import re
from importlib import metadata

import pytest

import quorvane

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(), re.S) if README.exists() else []


@pytest.mark.skipif(not EXAMPLES, reason="README not beside the tests")
@pytest.mark.parametrize("code", EXAMPLES, ids=lambda c: c.splitlines()[0][:40])
def test_readme_example_runs(code):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {})
    assert out.getvalue().strip()


def test_version_matches_installed_metadata():
    assert quorvane.__version__ == metadata.version("quorvane")
