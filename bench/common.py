"""Timing and reporting shared by the benchmark families."""
import os
import statistics
import time

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


def median_time(fn, repeat=5, warmup=1):
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


class Table:
    """Rows of (case, ours seconds, peer name, peer seconds, quality note)."""

    def __init__(self, family):
        self.family = family
        self.rows = []

    def add(self, case, ours, peer, peer_time, quality=""):
        ratio = peer_time / ours if ours > 0 else float("inf")
        self.rows.append((case, ours, peer, peer_time, ratio, quality))
        print(f"  {case:<44} ours {ours*1e3:10.2f} ms  {peer:<34} {peer_time*1e3:10.2f} ms"
              f"  peer/ours {ratio:6.2f}  {quality}", flush=True)

    def write(self):
        os.makedirs(RESULTS, exist_ok=True)
        lines = [f"| case | ours (ms) | peer | peer (ms) | peer/ours | quality |",
                 "|---|---:|---|---:|---:|---|"]
        for case, ours, peer, pt, ratio, q in self.rows:
            lines.append(f"| {case} | {ours*1e3:.2f} | {peer} | {pt*1e3:.2f} | {ratio:.2f} | {q} |")
        path = os.path.join(RESULTS, f"{self.family}.md")
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
        print(f"wrote {path}")
