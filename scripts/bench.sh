#!/usr/bin/env bash
# Builds and installs the package with the benchmark peers into .venv, then runs
# bench/run.py with the given arguments (see bench/run.py --help).
source "$(dirname "$0")/env.sh"
install_project bench
exec "$VENV/bin/python" "$ROOT/bench/run.py" "$@"
