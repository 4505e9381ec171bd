"""Timing, settings and reporting shared by the benchmark families.

A family is a module bench/bench_<name>.py with a `run(table)` function. It reads the
command line's choices through `settings`, `quick(full, small)`, `threads(default)` and
`median_time`, and reports through the `Table` it is given: `table.add` for a timed case
against a peer, `table.note` for a line of progress, `table.curve` for a series of points
(recall against queries per second, say) that `--plot` draws. A family that wants a
figure of its own defines `plot(table, plt, out_dir)` and returns the paths it wrote.
"""
import contextlib
import importlib.util
import json
import os
import re
import statistics
import subprocess
import sys
import time
from importlib import metadata


class Settings:
    """The command line's choices; the defaults are what a family sees when run alone."""

    quick = False     # small sizes: every family well under a minute
    threads = None    # None: each family's own default thread count
    repeat = None     # None: each case's own number of timed runs
    out = None        # directory of the result files


settings = Settings()


def quick(full, small):
    """`small` under --quick, else `full`: for sizes, repeats and lists of cases."""
    return small if settings.quick else full


def threads(default):
    """The thread count a family should use for ours and its peers."""
    return default if settings.threads is None else settings.threads


def median_time(fn, repeat=5, warmup=1):
    if settings.repeat is not None:
        repeat = settings.repeat
    elif settings.quick:
        repeat = min(repeat, 2)
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(repeat):
        # BLAS threads of a previous peer keep spinning for a while after its call and
        # would take processors from whatever is timed next.
        time.sleep(0.15)
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


# A busy core: spins until its parent is gone, so a benchmark that dies cannot leave it behind.
BUSY_LOOP = """
import os
parent = os.getppid()
while os.getppid() == parent:
    for _ in range(100_000):
        pass
"""


@contextlib.contextmanager
def busy_cores(count):
    """`count` other processes, each keeping one core busy while the block runs; killed and
    reaped on the way out, whatever happens inside."""
    procs = []
    try:
        for _ in range(count):
            procs.append(subprocess.Popen([sys.executable, "-c", BUSY_LOOP]))
        if procs:
            time.sleep(0.3)  # past their start-up, spinning
        yield
    finally:
        for p in procs:
            p.kill()
        for p in procs:
            p.wait()


def installed(package):
    """Whether a peer can be used: by its distribution name (faiss-cpu) or its module's (faiss)."""
    try:
        metadata.version(package)
        return True
    except metadata.PackageNotFoundError:
        return importlib.util.find_spec(package) is not None


def slug(text):
    return re.sub(r"[^a-z0-9]+", "_", text.lower()).strip("_")


class Table:
    """Rows of (case, ours seconds, peer name, peer seconds, quality note), and curves."""

    def __init__(self, family):
        self.family = family
        self.rows = []
        self.curves = {}  # title -> {"x": label, "y": label, "series": {name: [(x, y)]}}
        self.skipped = []  # peers that are not installed
        self.started = time.perf_counter()

    def elapsed(self):
        return time.perf_counter() - self.started

    def note(self, message):
        print(f"  [{self.elapsed():6.1f}s] {message}", flush=True)

    def skip(self, package):
        """A peer that is not installed: said in the progress and as a row of the table, so
        a table without its peer's columns does not read as a run that measured nothing."""
        self.skipped.append(package)
        print(f"  [{self.elapsed():6.1f}s] skipped: {package} is not installed", flush=True)

    def add(self, case, ours, peer, peer_time, quality=""):
        ratio = peer_time / ours if ours > 0 else float("inf")
        self.rows.append((case, ours, peer, peer_time, ratio, quality))
        print(f"  [{self.elapsed():6.1f}s] {case:<44} ours {ours*1e3:10.2f} ms  {peer:<34} "
              f"{peer_time*1e3:10.2f} ms  peer/ours {ratio:6.2f}  {quality}", flush=True)

    def curve(self, title, series, x, y, x_label="recall", y_label="queries per second"):
        """Record one point of `series` on the figure `title` (points keep their order)."""
        fig = self.curves.setdefault(title, {"x": x_label, "y": y_label, "series": {}})
        fig["series"].setdefault(series, []).append((float(x), float(y)))

    def markdown(self, header=""):
        lines = [header] if header else []
        lines += ["| case | ours (ms) | peer | peer (ms) | peer/ours | quality |",
                  "|---|---:|---|---:|---:|---|"]
        lines += [f"| skipped: {package} is not installed | | | | | |" for package in self.skipped]
        for case, ours, peer, pt, ratio, q in self.rows:
            lines.append(f"| {case} | {ours*1e3:.2f} | {peer} | {pt*1e3:.2f} | {ratio:.2f} | {q} |")
        for title, fig in self.curves.items():
            lines += ["", f"{title}: {fig['y']} against {fig['x']}", "",
                      f"| series | {fig['x']} | {fig['y']} |", "|---|---:|---:|"]
            for name, points in fig["series"].items():
                lines += [f"| {name} | {x:.4g} | {y:.4g} |" for x, y in points]
        return "\n".join(lines) + "\n"

    def write(self, out_dir=None, header="", environment=None):
        """The family's table as <family>.md and its raw figures as <family>.json."""
        out_dir = out_dir or settings.out or os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")
        os.makedirs(out_dir, exist_ok=True)
        path = os.path.join(out_dir, f"{self.family}.md")
        with open(path, "w") as f:
            f.write(self.markdown(header))
        with open(os.path.join(out_dir, f"{self.family}.json"), "w") as f:
            json.dump({"family": self.family, "environment": environment or {},
                       "rows": [dict(zip(("case", "ours_s", "peer", "peer_s", "peer_over_ours", "quality"), r))
                                for r in self.rows],
                       "curves": self.curves, "skipped": self.skipped}, f, indent=1)
        return path
