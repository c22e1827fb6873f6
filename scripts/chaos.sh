#!/usr/bin/env bash
# Runs the chaos table through the host library: by default 20 seeds of 1,000
# messages each with faults struck at any moment, against the platform
# simulator over loopback; fails unless every run lost nothing, doubled
# nothing, left no room stranded and stayed live. Extra arguments go to
# examples/chaos.py (--seeds, --first, --messages, --settle).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(build_wheel)"
SDK_WHEEL="$(build_sdk_wheel)"
install_wheel "$(first_python)" .venvs/demo "$WHEEL" demo "$SDK_WHEEL"
.venvs/demo/bin/python examples/chaos.py "$@"
