"""Side-by-side benchmarks: `python bench/run.py [family ...]`.

Each family lives in bench/bench_<family>.py and defines run(table). With no family
named, every family runs.
"""
import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import Table  # noqa: E402

FAMILIES = ["data", "recommend", "item", "linear", "trainers"]


def main(argv):
    names = argv or FAMILIES
    for name in names:
        if name not in FAMILIES:
            sys.exit(f"unknown family {name!r}; choose from {', '.join(FAMILIES)}")
        try:
            module = importlib.import_module(f"bench_{name}")
        except ModuleNotFoundError as e:
            print(f"[{name}] not available: {e}")
            continue
        print(f"[{name}]")
        table = Table(name)
        module.run(table)
        table.write()


if __name__ == "__main__":
    main(sys.argv[1:])
