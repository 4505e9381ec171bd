"""What a user meets first: the README's example and the installed package's metadata."""
import contextlib
import io
import pathlib
import re
from importlib import metadata

import pytest

import quorvane
from quorvane import _core

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


# Their docstrings are fixed word for word by the interface, older wording included.
FIXED_DOCSTRINGS = {"item_knn_top_k", "item_cosine_top_k", "rp3beta_similarity", "recommend_from_factors",
                    "hnsw_build_dense", "hnsw_build_sparse", "hnsw_search_dense", "hnsw_search_sparse",
                    "hnsw_search_sparse_dense"}
DEFAULT_POOL = ("`n_threads == 0` uses the default pool size: `RAYON_NUM_THREADS`, else "
                "`RAYON_RS_NUM_CPUS`, else the online processors.")
POOLED = sorted(name for name in dir(_core)
                if "n_threads" in (getattr(getattr(_core, name), "__text_signature__", None) or ""))


def flat(text):
    return " ".join(text.split())


def test_readme_says_what_zero_threads_means():
    assert DEFAULT_POOL in flat(README.read_text())


@pytest.mark.parametrize("name", [n for n in POOLED if n not in FIXED_DOCSTRINGS])
def test_docstring_says_what_zero_threads_means_as_the_readme(name):
    doc = flat(getattr(_core, name).__doc__)
    assert DEFAULT_POOL in doc
    assert "all cores" not in doc
