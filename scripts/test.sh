#!/usr/bin/env bash
# Builds the one abi3 wheel and runs the whole test suite against it under
# Python 3.11, 3.12 and 3.13. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WHEEL="$(build_wheel)"
echo "built $WHEEL"

status=0
for version in 3.11 3.12 3.13; do
    py="$(require_python "$version")"
    venv=".venv-test-$version"
    install_wheel "$py" "$venv" "$WHEEL" pytest hypothesis websockets phoenix-channels-python-client==0.4.1
    echo "=== Python $("$venv/bin/python" -c 'import sys; print(sys.version.split()[0])')"
    (cd tests && "../$venv/bin/python" -m pytest -q "$@") || status=1
done
exit $status
