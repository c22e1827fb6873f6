#!/usr/bin/env bash
# Builds the module once and runs the whole test suite under Python 3.11 and 3.13.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PY311="$(find_python 3.11)"
[ -n "$PY311" ] || { echo "Python 3.11 not found" >&2; exit 1; }
WHEEL="$(build_wheel "$PY311")"
echo "built $WHEEL"

status=0
for version in 3.11 3.13; do
    py="$(find_python "$version")"
    if [ -z "$py" ]; then echo "Python $version not found" >&2; exit 1; fi
    venv=".venv-test-$version"
    make_venv "$py" "$venv" "$WHEEL" pytest hypothesis
    echo "=== Python $version: $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (cd tests && "../$venv/bin/python" -m pytest -q "$@") || status=1
done
exit $status
