#!/usr/bin/env bash
# Builds and installs the package (with the examples extra only) into .venv, then runs
# the end-to-end example.
source "$(dirname "$0")/env.sh"
install_project examples
exec "$VENV/bin/python" "$ROOT/examples/quickstart.py" "$@"
