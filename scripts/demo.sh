#!/usr/bin/env bash
# Builds the module and runs the demonstration host against the local platform simulator.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(build_wheel)"
install_wheel "$(require_python 3.11)" .venv-demo "$WHEEL" websockets
.venv-demo/bin/python examples/demo.py "$@"
