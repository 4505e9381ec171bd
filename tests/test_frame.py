"""The calling convention shared by every function: start-up, arguments, conversions,
contiguity, pools, the lock."""
import ast
import inspect
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from quorvane import _core

TABLE_ORDER = [
    "bpr_fit", "coo_to_csr", "csr_top_k_per_row", "ease_inverse_gram", "ease_weights",
    "ease_weights_from_inverse", "factorize", "fm_als_fit", "hnsw_build_dense",
    "hnsw_build_sparse", "hnsw_search_dense", "hnsw_search_sparse", "hnsw_search_sparse_dense",
    "item_cosine_top_k", "quantized_search_dense", "quantized_search_sparse",
    "quantized_search_sparse_dense", "item_gram", "item_knn_top_k", "recommend_from_dense_rows",
    "recommend_from_factors", "recommend_from_similarity", "rp3beta_similarity",
    "slim_elasticnet_weights", "slim_elasticnet_weights_from_gram", "tune_suggest",
    "top_k_per_row",
]


BUILT = [n for n in TABLE_ORDER if hasattr(_core, n)]
README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
STUB = pathlib.Path(_core.__file__).with_name("_core.pyi")


def test_module_attributes():
    assert _core.__build_profile__ == "release"
    assert _core.__all__ == ["__build_profile__", *BUILT]
    for n in BUILT:
        f = getattr(_core, n)
        assert f.__name__ == n and f.__module__ == "quorvane._core"


@pytest.mark.skipif(not README.exists(), reason="README not beside the tests")
def test_the_functions_built_are_the_ones_the_readme_lists():
    # A function still missing from the module must also be missing from the README, so a
    # table name without a binding is a deliberate gap, not a lost registration.
    listed = re.findall(r"^\| `(\w+)` \|", README.read_text(), re.M)
    assert listed == BUILT


@pytest.mark.parametrize("name", BUILT)
def test_text_signature(name):
    f = getattr(_core, name)
    sig = inspect.signature(f)
    assert f.__text_signature__ == str(sig)
    assert f.__doc__.strip()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


def stub_functions():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_declares_the_module_functions_in_table_order():
    assert (STUB.parent / "py.typed").exists()
    assert list(stub_functions()) == BUILT


@pytest.mark.parametrize("name", BUILT)
def test_stub_signature_and_docstring_match_the_function(name):
    node = stub_functions()[name]
    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    first_default = len(args.args) - len(args.defaults)
    stub = [(a.arg, ast.literal_eval(args.defaults[i - first_default]) if i >= first_default else "required")
            for i, a in enumerate(args.args)]
    f = getattr(_core, name)
    runtime = [(p.name, "required" if p.default is p.empty else p.default)
               for p in inspect.signature(f).parameters.values()]
    assert stub == runtime
    assert all(a.annotation is not None for a in args.args) and node.returns is not None
    assert ast.get_docstring(node) == inspect.cleandoc(f.__doc__)


@pytest.mark.parametrize("name", BUILT)
def test_every_function_words_its_argument_errors_and_converts_the_first_first(name):
    f = getattr(_core, name)
    params = list(inspect.signature(f).parameters.values())
    required = [p.name for p in params if p.default is p.empty]
    with pytest.raises(TypeError) as e:
        f()
    assert str(e.value).startswith(f"{name}() missing {len(required)} required positional argument")
    assert str(e.value).endswith("'" + required[-1] + "'")
    # object() converts to no declared kind, so the first parameter fails, and says so.
    with pytest.raises(TypeError) as e:
        f(*[object()] * len(params))
    assert e.value.__notes__ == [f"while processing '{params[0].name}'"]
    takes = str(len(params)) if len(required) == len(params) else f"from {len(required)} to {len(params)}"
    with pytest.raises(TypeError) as e:
        f(*[object()] * (len(params) + 1))
    assert str(e.value) == f"{name}() takes {takes} positional arguments but {len(params) + 1} were given"


def i64(*v):
    return np.array(v, dtype=np.int64)


def f64(*v):
    return np.array(v, dtype=np.float64)


COO = dict(rows=i64(0), cols=i64(1), data=f64(1.0), n_rows=2, n_cols=3, n_threads=1)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: _core.coo_to_csr(i64(0), i64(1), f64(1.0), 2, 3),
     TypeError, "coo_to_csr() missing 1 required positional argument: 'n_threads'"),
    (lambda: _core.coo_to_csr(i64(0), i64(1), f64(1.0)),
     TypeError, "coo_to_csr() missing 3 required positional arguments: 'n_rows', 'n_cols', and 'n_threads'"),
    (lambda: _core.coo_to_csr(i64(0), i64(1), f64(1.0), 2),
     TypeError, "coo_to_csr() missing 2 required positional arguments: 'n_cols' and 'n_threads'"),
    (lambda: _core.coo_to_csr(**COO, bogus=1),
     TypeError, "coo_to_csr() got an unexpected keyword argument 'bogus'"),
    (lambda: _core.coo_to_csr(i64(0), **COO),
     TypeError, "coo_to_csr() got multiple values for argument 'rows'"),
    (lambda: _core.factorize(i64(0), i64(1)),
     TypeError, "factorize() takes 1 positional arguments but 2 were given"),
    (lambda: _core.coo_to_csr(*COO.values(), 7),
     TypeError, "coo_to_csr() takes 6 positional arguments but 7 were given"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize("override, exc, param", [
    (dict(n_threads=-1), OverflowError, "n_threads"),
    (dict(n_rows=2**64), OverflowError, "n_rows"),
    (dict(n_cols=1.5), TypeError, "n_cols"),
    (dict(rows=np.array([0], dtype=np.int32)), TypeError, "rows"),
    (dict(data=np.array([1.0], dtype=np.float32)), TypeError, "data"),
    (dict(cols=np.array([[1]], dtype=np.int64)), TypeError, "cols"),
    (dict(rows=[0]), TypeError, "rows"),
    (dict(data=None), TypeError, "data"),
])
def test_conversion_errors_carry_the_parameter_note(override, exc, param):
    with pytest.raises(exc) as e:
        _core.coo_to_csr(**{**COO, **override})
    assert e.value.__notes__ == [f"while processing '{param}'"]


def test_numpy_integer_scalars_are_counts():
    indptr, indices, data = _core.coo_to_csr(**{**COO, "n_rows": np.int64(2), "n_threads": np.uint8(1)})
    assert indptr.tolist() == [0, 1, 1]


def test_conversion_happens_in_signature_order():
    # both rows and n_threads are bad: the first parameter is reported
    with pytest.raises(TypeError) as e:
        _core.coo_to_csr(**{**COO, "rows": [0], "n_threads": -1})
    assert e.value.__notes__ == ["while processing 'rows'"]


def test_strided_views_fail_the_contiguity_test_unless_empty():
    base = np.arange(10, dtype=np.int64)
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        _core.factorize(base[::2])
    uniques, codes = _core.factorize(base[:0:2])
    assert uniques.size == 0 and codes.size == 0


def test_fortran_ordered_matrix_is_refused_not_scrambled():
    scores = np.asfortranarray(np.arange(6, dtype=np.float64).reshape(2, 3))
    with pytest.raises(TypeError, match="not contiguous"):
        _core.top_k_per_row(scores, i64(0, 0, 0), i64(), 1)
    # a single row is both C- and F-contiguous and passes
    one = np.asfortranarray(np.array([[1.0, 3.0, 2.0]]))
    assert _core.top_k_per_row(one, i64(0, 0), i64(), 2).tolist() == [[1, 2]]


def test_results_own_their_buffers():
    indptr, indices, data = _core.coo_to_csr(i64(1, 0), i64(0, 2), f64(1, 2), 2, 3, 1)
    for a in (indptr, indices, data):
        assert a.flags.c_contiguous and a.flags.owndata is False and a.base is not None
    assert indptr.dtype == np.int64 and indices.dtype == np.int64 and data.dtype == np.float64


def test_pool_build_failure_is_a_value_error_and_is_retried():
    # Far more threads than the system lets a process start (yet within the bound on
    # n_threads).
    code = textwrap.dedent("""
        import os, resource, numpy as np
        from quorvane import _core
        if os.geteuid() == 0:  # the process limit does not bind root
            os.setgid(65534); os.setuid(65534)
        resource.setrlimit(resource.RLIMIT_NPROC, (16, resource.getrlimit(resource.RLIMIT_NPROC)[1]))
        a = np.array([0], dtype=np.int64)
        try:
            _core.coo_to_csr(a, a, np.array([1.0]), 1, 1, 200)
        except ValueError as e:
            print("ValueError", "(os error" in str(e))
        try:  # a bad index is reported before the pool that could not start
            _core.coo_to_csr(a, a + 1, np.array([1.0]), 1, 1, 200)
        except ValueError as e:
            print(e)
        resource.setrlimit(resource.RLIMIT_NPROC, resource.getrlimit(resource.RLIMIT_NPROC)[1:] * 2)
        print(_core.coo_to_csr(a, a, np.array([1.0]), 1, 1, 2)[0].tolist())
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.split("\n")[:3] == ["ValueError True", "column value 1 out of range [0, 1).", "[0, 1]"], out.stderr


def test_forked_child_gets_working_pools():
    code = textwrap.dedent("""
        import os, numpy as np
        from quorvane import _core
        a = np.array([0, 1], dtype=np.int64)
        s = np.arange(20000.0).reshape(2000, 10)
        ex = np.zeros(2001, dtype=np.int64)
        for n in (0, 2, 4):
            _core.coo_to_csr(a, a, np.ones(2), 2, 2, n)
        _core.top_k_per_row(s, ex, np.array([], dtype=np.int64), 3)
        pid = os.fork()
        if pid == 0:
            r = _core.coo_to_csr(a, a, np.ones(2), 2, 2, 2)
            t = _core.top_k_per_row(s, ex, np.array([], dtype=np.int64), 3)
            os._exit(0 if r[0].tolist() == [0, 1, 2] and t[0].tolist() == [9, 8, 7] else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "0", out.stderr


def test_default_pool_honours_rayon_num_threads():
    code = textwrap.dedent("""
        import threading, numpy as np
        from quorvane import _core
        before = threading.active_count()
        s = np.random.default_rng(0).random((4000, 200))
        _core.top_k_per_row(s, np.zeros(4001, dtype=np.int64), np.array([], dtype=np.int64), 5)
        import os
        print(len(os.listdir('/proc/self/task')))
    """)
    counts = []
    for env in ({"RAYON_NUM_THREADS": "3"}, {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                             env={**os.environ, **env})
        counts.append(int(out.stdout.strip()))
    # the worker threads come on top of the interpreter's own
    assert counts[1] - counts[0] == 2


def test_lock_is_released_during_a_long_kernel():
    rng = np.random.default_rng(1)
    n = 3_000_000
    values = rng.integers(-2**62, 2**62, n)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    time.sleep(0.01)
    t0 = time.perf_counter()
    for _ in range(3):
        _core.factorize(values)
    t1 = time.perf_counter()
    stop.set()
    t.join()
    during = [x for x in ticks if t0 < x < t1]
    assert len(during) >= 3
