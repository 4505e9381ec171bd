"""Side-by-side benchmarks of quorvane._core and its peers on the same data, in one process.

Every bench/bench_<family>.py is a family (nothing to register: add the file). Each one
prints a header, a line per case with the peer/ours time ratio, and writes <family>.md
(the table under a record of the machine, commit, versions and threads) and
<family>.json to the output directory. The committed bench/results/*.md are the
reference tables: regenerate them deliberately with `--out bench/results`.
"""
import argparse
import datetime
import glob
import importlib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.join(HERE, "out")
sys.path.insert(0, HERE)
import environment  # noqa: E402  (imports nothing that sizes a thread pool)


def families():
    return sorted(os.path.basename(p)[len("bench_"):-len(".py")]
                  for p in glob.glob(os.path.join(HERE, "bench_*.py")))


def parse(argv):
    known = families()
    parser = argparse.ArgumentParser(
        prog="bench/run.py", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="families: " + ", ".join(known) + ". Install the peers with pip install '.[bench]'.")
    parser.add_argument("family", nargs="*", help="families to run (default: all)")
    parser.add_argument("--quick", action="store_true",
                        help="small sizes and few repeats: each family well under a minute")
    parser.add_argument("--threads", type=int, metavar="N",
                        help="threads for ours and the peers: sets every family's thread count and "
                             "RAYON_NUM_THREADS, OMP/OPENBLAS/MKL_NUM_THREADS (default: each family's own)")
    parser.add_argument("--repeat", type=int, metavar="N", help="timed runs per case (median taken)")
    parser.add_argument("--out", metavar="DIR", default=DEFAULT_OUT,
                        help="where result files go (default: bench/out, ignored by git)")
    parser.add_argument("--plot", action="store_true",
                        help="also draw each family's figures as PNG (needs matplotlib)")
    parser.add_argument("--list", action="store_true", help="list the families and exit")
    args = parser.parse_args(argv)
    unknown = [f for f in args.family if f not in known]
    if unknown:
        parser.error(f"unknown family {', '.join(unknown)}; choose from {', '.join(known)}")
    if args.threads is not None and args.threads < 0:
        parser.error("--threads must be 0 (the default pool) or more")
    if args.repeat is not None and args.repeat < 1:
        parser.error("--repeat must be at least 1")
    return args


def main(argv):
    args = parse(argv)
    if args.list:
        print("\n".join(families()))
        return 0
    if args.threads:
        # Before NumPy or any peer is imported: their pools size themselves once.
        for name in environment.SET_BY_THREADS:
            os.environ[name] = str(args.threads)
    import common
    common.settings.quick = args.quick
    common.settings.threads = args.threads
    common.settings.repeat = args.repeat
    common.settings.out = os.path.abspath(args.out)
    if args.plot:
        import plots

    names = args.family or families()
    when = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    failed = []
    for number, name in enumerate(names, 1):
        start = time.perf_counter()
        try:
            module = importlib.import_module(f"bench_{name}")
        except ImportError as e:
            missing = e.name  # a package the family imports at load time
            if not missing:
                print(f"\n== {name}: not available ({e})", flush=True)
                continue
            print(f"\n== [{number}/{len(names)}] {name}", flush=True)
            table = common.Table(name)
            table.skip(missing)
            print(f"   wrote {table.write(common.settings.out)}", flush=True)
            continue
        description = (module.__doc__ or "").strip().splitlines()[0] if module.__doc__ else ""
        env = environment.collect(getattr(module, "PEERS", ()), args.threads)
        print(f"\n== [{number}/{len(names)}] {name}: {description}", flush=True)
        print(f"   {env['processor']}, {env['processors this process may use']} processors, "
              f"n_threads=0 -> {env['threads']['n_threads=0 pool size']} threads"
              f"{', quick' if args.quick else ''}; commit {env['commit']}", flush=True)
        table = common.Table(name)
        for package in getattr(module, "PEERS", ()):
            if not common.installed(package):
                table.skip(package)
        try:
            module.run(table)
        except Exception as e:  # one family's failure must not lose the others' results
            print(f"  {name} failed: {type(e).__name__}: {e}", flush=True)
            failed.append(name)
        path = table.write(common.settings.out, environment.markdown(env, name, description, when, args.quick), env)
        print(f"   wrote {path}", flush=True)
        if args.plot:
            for figure in plots.draw(table, module, common.settings.out):
                print(f"   wrote {figure}", flush=True)
        print(f"   {name} took {time.perf_counter() - start:.1f}s", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
