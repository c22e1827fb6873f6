#!/usr/bin/env bash
# Runs the demonstration host against the local platform simulator, with the
# wheels from dist/, the module's and the library's (built first when missing
# or out of date).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(build_wheel)"
SDK_WHEEL="$(build_sdk_wheel)"
install_wheel "$(first_python)" .venvs/demo "$WHEEL" demo "$SDK_WHEEL"
.venvs/demo/bin/python examples/demo.py "$@"
