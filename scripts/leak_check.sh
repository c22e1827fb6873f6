#!/usr/bin/env bash
# Runs scripts/leak_check.py against the wheel (the one scripts/test.sh built,
# or a fresh one) under the oldest and the newest supported Python.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(ls dist/orvu_sdk_core-*-cp311-abi3-*.whl 2>/dev/null || true)"
[ -n "$WHEEL" ] || WHEEL="$(build_wheel)"

status=0
for version in 3.11 3.13; do
    venv=".venv-leak-$version"
    # Nothing but the module: the check needs only the standard library.
    [ -x "$venv/bin/python" ] || "$(require_python "$version")" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$WHEEL" >&2
    echo "=== leak check, Python $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (cd /tmp && "$ROOT/$venv/bin/python" "$ROOT/scripts/leak_check.py" "$@") || status=1
done
exit $status
