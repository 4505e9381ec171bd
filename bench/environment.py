"""What a result depends on besides the code: the machine, the commit, the versions, threads."""
import os
import platform
import subprocess
import sys
from importlib import metadata

# Peers of every family; a family adds its own with a module-level PEERS list.
PEERS = ["numpy", "scipy", "scipy-openblas32", "pandas", "scikit-learn", "implicit", "myfm",
         "hnswlib", "faiss-cpu", "optuna", "matplotlib"]
# What --threads sets (before NumPy and the peers size their pools), and what is recorded.
SET_BY_THREADS = ["RAYON_NUM_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"]
THREAD_VARIABLES = SET_BY_THREADS + ["RAYON_RS_NUM_CPUS"]


def _first(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return None


def _git(*args):
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        return subprocess.run(["git", "-C", here, *args], capture_output=True, text=True,
                              check=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return None


def commit():
    head = _git("rev-parse", "--short=12", "HEAD")
    if head is None:
        return "unknown (not a git checkout)"
    dirty = _git("status", "--porcelain", "--untracked-files=no")
    return head + (" with local changes" if dirty else "")


def usable_processors():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count()


def default_pool_size():
    """What `n_threads=0` means: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the online processors."""
    first = os.environ.get("RAYON_NUM_THREADS", "")
    if first == "0":
        return usable_processors()
    for value in (first, os.environ.get("RAYON_RS_NUM_CPUS", "")):
        if value.isdigit() and int(value) > 0:
            return int(value)
    return usable_processors()


def versions(extra=()):
    found = {}
    for name in ["quorvane", *PEERS, *extra]:
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            pass
    return found


def collect(extra_peers=(), thread_setting=None):
    memory = _first("/proc/meminfo", "MemTotal")
    if memory and memory.endswith("kB"):
        memory = f"{int(memory.split()[0]) / 2**20:.1f} GiB"
    return {
        "processor": _first("/proc/cpuinfo", "model name") or platform.processor() or platform.machine(),
        "online processors": os.cpu_count(),
        "processors this process may use": usable_processors(),
        "memory": memory or "unknown",
        "system": platform.platform(),
        "commit": commit(),
        "python": sys.version.split()[0],
        "versions": versions(extra_peers),
        "threads": {
            "--threads": thread_setting if thread_setting is not None else "each family's default",
            "n_threads=0 pool size": default_pool_size(),
            **{name: os.environ[name] for name in THREAD_VARIABLES if name in os.environ},
        },
    }


def markdown(env, family, description, when, quick):
    lines = [f"# {family}" + (f": {description}" if description else ""), "",
             f"Run {when}" + (" with --quick (small sizes)" if quick else "") + ".", ""]
    for key, value in env.items():
        if isinstance(value, dict):
            value = ", ".join(f"{k} {v}" for k, v in value.items())
        lines.append(f"- {key}: {value}")
    return "\n".join(lines) + "\n"
