"""The declared dependencies and their pins stay in step.

Every requirement of the extras and dependency groups in pyproject.toml must
have an exact pin in constraints.txt that satisfies it; otherwise the scripts
and CI would install whatever version is newest that day.
"""

import pathlib
import tomllib

import pytest
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name

ROOT = pathlib.Path(__file__).resolve().parent.parent
PYPROJECT = ROOT / "pyproject.toml"
CONSTRAINTS = ROOT / "constraints.txt"


def _declared():
    """(where, requirement) for every dependency of an extra or a dependency group."""
    if not PYPROJECT.is_file():
        return []
    project = tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))
    name = canonicalize_name(project["project"]["name"])
    found = []
    for section in ("optional-dependencies", "dependency-groups"):
        table = project["project"].get(section, {}) if section == "optional-dependencies" else project.get(section, {})
        for group, requirements in table.items():
            found += [(f"{section}.{group}", r) for r in requirements if canonicalize_name(Requirement(r).name) != name]
    return found


def _pins():
    pins = {}
    for line in CONSTRAINTS.read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            name, sep, version = line.partition("==")
            assert sep, f"constraints.txt: {line!r} is not an exact pin"
            pins[canonicalize_name(name)] = version
    return pins


DECLARED = _declared()


@pytest.mark.skipif(not CONSTRAINTS.is_file() or not DECLARED, reason="needs the source checkout")
@pytest.mark.parametrize("where,requirement", DECLARED, ids=[f"{w}:{r}" for w, r in DECLARED] or None)
def test_every_declared_dependency_is_pinned(where, requirement):
    wanted = Requirement(requirement)
    pins = _pins()
    pin = pins.get(canonicalize_name(wanted.name))
    assert pin is not None, f"{wanted.name} ({where}) has no pin in constraints.txt"
    assert wanted.specifier.contains(pin, prereleases=True), \
        f"constraints.txt pins {wanted.name}=={pin}, outside {where}'s {wanted.specifier}"


def test_test_extra_brings_what_the_suite_imports():
    """`pip install '.[test]'` must bring websockets too, or the end-to-end test silently skips."""
    if not PYPROJECT.is_file():
        pytest.skip("needs the source checkout")
    project = tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))["project"]
    extras, own = project["optional-dependencies"], canonicalize_name(project["name"])
    names, pending, seen = set(), ["test"], set()
    while pending:  # follow "orvu_sdk_core[demo]"-style references to other extras
        extra = pending.pop()
        seen.add(extra)
        for requirement in map(Requirement, extras[extra]):
            if canonicalize_name(requirement.name) == own:
                pending += [e for e in requirement.extras if e not in seen]
            else:
                names.add(canonicalize_name(requirement.name))
    assert names >= {"pytest", "hypothesis", "websockets"}


# --- the package description and the sdist ----------------------------------------

README = ROOT / "README.md"


def _project():
    return tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))


def package_description():
    """README.md as the build turns it into the package description (the
    hatch-fancy-pypi-readme substitutions of pyproject.toml, applied in order)."""
    import re
    hook = _project()["tool"]["hatch"]["metadata"]["hooks"]["fancy-pypi-readme"]
    assert [fragment["path"] for fragment in hook["fragments"]] == ["README.md"]
    text = README.read_text(encoding="utf-8")
    for substitution in hook.get("substitutions", []):
        text = re.sub(substitution["pattern"], substitution["replacement"], text)
    return text


def _links(markdown):
    import re
    return re.findall(r"\]\(([^)\s]+)\)", markdown)


@pytest.mark.skipif(not README.is_file() or not PYPROJECT.is_file(), reason="needs the source checkout")
def test_package_description_has_no_relative_link():
    # On a package index a relative link leads nowhere.
    assert not [link for link in _links(package_description()) if not link.startswith("https://")]


@pytest.mark.skipif(not README.is_file() or not PYPROJECT.is_file(), reason="needs the source checkout")
def test_package_description_still_names_every_linked_file():
    relative = {link.split("#")[0] for link in _links(README.read_text(encoding="utf-8")) if "://" not in link}
    assert relative, "README.md links no document of the project"
    description = package_description()
    for path in relative:
        assert f"`{path}`, in the source distribution" in description


@pytest.mark.skipif(not README.is_file() or not PYPROJECT.is_file(), reason="needs the source checkout")
def test_every_folder_the_readme_links_into_goes_into_the_sdist():
    include = _project()["tool"]["scikit-build"]["sdist"]["include"]
    folders = {link.split("/")[0] + "/" for link in _links(README.read_text(encoding="utf-8")) if "://" not in link}
    assert folders and folders <= set(include)


SDK_PYPROJECT = ROOT / "sdk" / "pyproject.toml"


@pytest.mark.skipif(not SDK_PYPROJECT.is_file() or not PYPROJECT.is_file(), reason="needs the source checkout")
def test_the_library_pins_the_module_it_is_built_with_and_its_pins_hold():
    core_version = _project()["project"]["version"]
    requirements = [Requirement(r) for r in tomllib.loads(SDK_PYPROJECT.read_text(encoding="utf-8"))["project"]["dependencies"]]
    by_name = {canonicalize_name(r.name): r for r in requirements}
    assert set(by_name) == {"orvu-sdk-core", "websockets"}
    assert str(by_name.pop("orvu-sdk-core").specifier) == f"=={core_version}"
    pins = _pins()
    for name, requirement in by_name.items():
        assert requirement.specifier.contains(pins[name], prereleases=True), requirement
