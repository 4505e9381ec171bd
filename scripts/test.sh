#!/usr/bin/env bash
# Builds and installs the package into .venv (release build) and runs the test suite.
source "$(dirname "$0")/env.sh"
install_project test
cd "$ROOT"
exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
