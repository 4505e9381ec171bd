"""What a user meets first: the README's example and the installed package's metadata."""
import contextlib
import inspect
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


SEARCH_FILTERING = "See [`hnsw_search_dense`] for the filtering rules."
# Whole descriptions, line for line: they are part of the interface, so anything a
# docstring should add beyond them belongs in README.md instead.
WHOLE_DOCSTRINGS = {
    "hnsw_build_dense": [
        "Build a hierarchical navigable small-world graph over dense item vectors.", "",
        "`vectors` is `(n_items, dim)` row-major, and row `j` is the vector whose dot product",
        "with a query is item `j`'s score. `m` caps the neighbours a node keeps above level 0",
        "and `2 * m` caps them at level 0; `ef_construction` bounds the candidate list an",
        "insertion keeps. Levels are drawn from `seed` alone, so they do not depend on the",
        "order nodes are inserted in.", "",
        "Returns the layered adjacency as `(node_level, links_indptr, links_indices,",
        "entry_point)`: everything a search needs and nothing else, so a fitted index is",
        "numpy arrays all the way down. `n_threads == 0` uses all cores; a build on more than",
        "one thread is not reproducible, because concurrent insertions see different partial",
        "graphs."],
    "hnsw_search_dense": [
        "The `k` best candidates of each dense query under the graph, and their scores.", "",
        "`candidates` holds the item index of each candidate position, ascending, and the",
        "traversal passes *through* the items that are not candidates or are excluded rather",
        "than stopping at them, so a filter costs recall rather than connectivity. Excluded",
        "columns are candidate positions, as in `top_k_per_row`. A query the walk leaves short",
        "is completed by an exact scan of its eligible items, so the result is always `k`",
        "items the caller may show. `n_threads == 0` uses all cores."],
    "hnsw_search_sparse": [
        "The `k` best candidates of each sparse query under a graph over sparse item vectors.", "",
        "The item-item path. A query row is scattered once into a buffer of `dim` values, so",
        "each distance is a gather over an item vector's stored entries rather than a merge of",
        "two sorted runs. " + SEARCH_FILTERING],
    "hnsw_search_sparse_dense": [
        "The `k` best candidates of each sparse query under a graph over dense item vectors.", "",
        "EASE's path: its weight matrix is dense but catalog-wide, so scattering the query",
        "would cost a full pass per distance. The query stays sparse and the gather runs over",
        "its handful of nonzeros instead. " + SEARCH_FILTERING],
    "quantized_search_dense": [
        "The `k` best candidates of each dense query under a quantized flat scan.", "",
        "`codes` holds `dim` codes of `bits` each per item, packed `8 / bits` to a byte with",
        "the low-order code first and every item's run starting on a byte boundary. `scale`",
        "and `offset` are per dimension, and `vectors` is the exact matrix the shortlist is",
        "reranked against -- the same vectors the codes were made from, in the same order.", "",
        "`candidates` holds the item index of each candidate position, ascending; excluded",
        "columns are candidate positions, as in `top_k_per_row`. The scan sees every eligible",
        "candidate, so a query short of `k` is genuinely short and raises rather than falling",
        "back. `oversample * k` candidates are shortlisted by their codes and then rescored",
        "exactly, so the scores returned are always the exact ones."],
    "quantized_search_sparse": [
        "The `k` best candidates of each sparse query over quantized sparse item vectors.", "",
        "The item-item path. One code per stored value, sharing the rows' own",
        "`indptr`/`indices`, with a single `scale` and `offset` over the whole matrix -- a",
        "catalog-sized column dimension has no per-column statistics worth keeping. The query",
        "is scattered once into a buffer of `dim` values and every candidate gathers its own",
        "stored columns out of it. See [`quantized_search_dense`] for the filtering rules."],
    "quantized_search_sparse_dense": [
        "The `k` best candidates of each sparse query over quantized *dense* item vectors.", "",
        "EASE's shape: catalog-wide dense item rows and a query of a handful of nonzeros, so",
        "the coarse pass gathers over the query's own columns rather than the item's width.",
        "See [`quantized_search_dense`] for the packing and the filtering rules."],
    "tune_suggest": [
        "Propose a value of one hyperparameter by TPE, from the history of that parameter.", "",
        "`kind` is `\"float\"`, `\"int\"` or `\"categorical\"`; a categorical is proposed as the",
        "index of its choice among `n_choices`, and `low`, `high` and `log` are ignored for",
        "it. `observed[t]` is the value trial `t` used and `scores[t]` what it scored, higher",
        "being better. Below `n_startup_trials` observations the value is drawn at random."],
}


@pytest.mark.parametrize("name", WHOLE_DOCSTRINGS)
def test_docstring_is_exactly_its_fixed_lines(name):
    assert inspect.getdoc(getattr(_core, name)).split("\n") == WHOLE_DOCSTRINGS[name]


def test_sparse_build_docstring_is_a_title_and_one_short_paragraph():
    lines = inspect.getdoc(_core.hnsw_build_sparse).split("\n")
    assert lines[:2] == ["Build a hierarchical navigable small-world graph over sparse item vectors.", ""]
    assert len(lines) == 5 and all(lines[2:]) and "[`hnsw_build_dense`]" in lines[-1]
