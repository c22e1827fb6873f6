#!/usr/bin/env bash
# Runs the demonstration host against the local platform simulator, with the
# wheel from dist/ (built first when missing or out of date).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(build_wheel)"
install_wheel "$(first_python)" .venvs/demo "$WHEEL" demo
.venvs/demo/bin/python examples/demo.py "$@"
