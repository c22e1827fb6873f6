#!/usr/bin/env bash
# Runs scripts/leak_check.py against the wheel in dist/ (built first when
# missing or out of date) under the oldest and the newest supported Python.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(build_wheel)"

status=0
for version in 3.11 3.13; do
    venv=".venvs/leak-$version"
    # Nothing but the module: the check needs only the standard library.
    install_wheel "$(require_python "$version")" "$venv" "$WHEEL"
    echo "=== leak check, Python $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (cd /tmp && "$ROOT/$venv/bin/python" "$ROOT/scripts/leak_check.py" "$@") || status=1
done
exit $status
