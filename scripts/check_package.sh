#!/usr/bin/env bash
# Checks the built wheel as a package: abi3 compliance, the stubs against the
# runtime module, and a typed host example under mypy --strict.
# Run after scripts/test.sh (which leaves the wheel in dist/).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(ls dist/orvu_sdk_core-*-cp311-abi3-*.whl 2>/dev/null || true)"
[ -n "$WHEEL" ] || WHEEL="$(build_wheel)"
ls dist/orvu_sdk_core-*.tar.gz >/dev/null

install_wheel "$(require_python 3.11)" .venv-check "$WHEEL" abi3audit mypy
echo "=== abi3audit"
.venv-check/bin/abi3audit --strict --report "$WHEEL"
echo "=== stubtest"
(cd /tmp && "$ROOT/.venv-check/bin/python" -m mypy.stubtest orvu_sdk_core \
    --allowlist "$ROOT/src/stubs/stubtest-allowlist.txt")
echo "=== mypy --strict examples/typed_host.py"
.venv-check/bin/python -m mypy --strict examples/typed_host.py
echo "=== typed host runs"
.venv-check/bin/python examples/typed_host.py
