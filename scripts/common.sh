# Shared by the scripts: find interpreters, keep virtual environments in step
# with the pinned dependencies, build the wheel once and reuse it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
CONSTRAINTS="$ROOT/constraints.txt"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# "3.12" for an interpreter, or nothing when it does not run.
python_version() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}

# install_packages PKG...: installs Debian packages with apt-get, as root;
# anyone else is told what to install.
install_packages() {
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "=== apt-get install $*"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
    else
        echo "missing $*: install them (as root, with apt-get) and run again" >&2
        exit 1
    fi
}

# Interpreters to consider, in order: pyenv's installations (when PREFER_PYENV
# is set), those on PATH, then pyenv's.
python_candidates() {
    local candidate pyenv_versions=()
    if command -v pyenv >/dev/null 2>&1; then
        for candidate in "$(pyenv root)"/versions/3.*/bin/python; do
            [ -x "$candidate" ] && pyenv_versions+=("$candidate")
        done
    fi
    [ -n "${PREFER_PYENV:-}" ] && printf '%s\n' "${pyenv_versions[@]}"
    for candidate in python3 python3.11 python3.12 python3.13 python3.14; do
        command -v "$candidate" 2>/dev/null || true
    done
    printf '%s\n' "${pyenv_versions[@]}"
}

# Path of a CPython interpreter of the given minor version ("3.13"), or empty.
find_python() {
    local candidate
    while read -r candidate; do
        [ -n "$candidate" ] && [ "$(python_version "$candidate")" = "$1" ] && { echo "$candidate"; return; }
    done < <(PREFER_PYENV=1 python_candidates)
}

require_python() {
    local py
    py="$(find_python "$1")"
    [ -n "$py" ] || { echo "Python $1 not found" >&2; exit 1; }
    echo "$py"
}

# The first interpreter found that can build and run the module (3.11 or newer).
first_python() {
    local candidate version
    while read -r candidate; do
        version="$(python_version "$candidate")"
        [ "${version%%.*}" = 3 ] && [ "${version#3.}" -ge 11 ] && { echo "$candidate"; return; }
    done < <(python_candidates)
    echo "no Python 3.11 or newer found" >&2
    return 1
}

# The requirements of one dependency group in pyproject.toml, one a line.
group_requirements() {
    "$(first_python)" - "$1" <<'PY'
import sys, tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["dependency-groups"][sys.argv[1]]))
PY
}

# True when the last successful install into the virtual environment DIR had KEY.
installed_with() {
    [ "$(cat "$1/.installed" 2>/dev/null)" = "$2" ]
}

# venv_install PY DIR KEY ARGS...: creates the virtual environment DIR with PY
# if it is missing and runs "pip install ARGS" in it under the pinned versions,
# unless the last successful install there had the same KEY.
venv_install() {
    local py="$1" dir="$2" key="$3"; shift 3
    [ -x "$dir/bin/python" ] || "$py" -m venv "$dir"
    installed_with "$dir" "$key" && return 0
    rm -f "$dir/.installed"
    "$dir/bin/python" -m pip install --quiet -c "$CONSTRAINTS" "$@" >&2
    echo "$key" > "$dir/.installed"
}

digest() { sha256sum | cut -d' ' -f1; }

# make_venv PY DIR REQUIREMENT...
make_venv() {
    local py="$1" dir="$2"; shift 2
    venv_install "$py" "$dir" "$(printf '%s\n' "$@" | cat - "$CONSTRAINTS" | digest)" "$@"
}

# make_group_venv PY DIR GROUP...: a venv with the named dependency groups.
make_group_venv() {
    local py="$1" dir="$2" group requirements=(); shift 2
    for group in "$@"; do
        readarray -t -O "${#requirements[@]}" requirements < <(group_requirements "$group")
    done
    make_venv "$py" "$dir" "${requirements[@]}"
}

# install_wheel PY DIR WHEEL [EXTRAS [REQUIREMENT...]]: the wheel with its
# extras ("test", "demo") and further requirements (the library's wheel among
# them); a wheel whose content changed replaces the installed package even
# under the same version number.
install_wheel() {
    local py="$1" dir="$2" wheel="$3" extras="${4:-}"; shift 3; shift $(( $# > 0 ))
    local key requirement
    key="$({ sha256sum < "$wheel"; echo "$extras"
             for requirement in "$@"; do
                 if [ -f "$requirement" ]; then sha256sum < "$requirement"; else echo "$requirement"; fi
             done
             cat "$CONSTRAINTS"; } | digest)"
    installed_with "$dir" "$key" && return 0
    if [ -x "$dir/bin/python" ]; then
        "$dir/bin/python" -m pip uninstall --quiet --yes orvu_sdk_core orvu-sdk >/dev/null 2>&1 || true
    fi
    venv_install "$py" "$dir" "$key" "$wheel${extras:+[$extras]}" "$@"
}

# The wheel in dist/, built by scripts/build_wheel.sh unless it is up to date;
# prints its path.
build_wheel() {
    bash "$ROOT/scripts/build_wheel.sh"
}

# The host library's wheel (orvu-sdk) in dist/, built by
# scripts/build_sdk_wheel.sh unless it is up to date; prints its path.
build_sdk_wheel() {
    bash "$ROOT/scripts/build_sdk_wheel.sh"
}
