#!/usr/bin/env bash
# Builds the module and runs a short demonstration of a host driving it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PY311="$(find_python 3.11)"
[ -n "$PY311" ] || { echo "Python 3.11 not found" >&2; exit 1; }
WHEEL="$(build_wheel "$PY311")"
make_venv "$PY311" .venv-demo "$WHEEL"
.venv-demo/bin/python examples/demo.py
