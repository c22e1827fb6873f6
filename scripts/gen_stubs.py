#!/usr/bin/env python3
"""Writes the type stubs of orvu_sdk_core from the module's own declarations.

    python scripts/gen_stubs.py            # rewrite src/stubs/orvu_sdk_core-stubs/__init__.pyi
    python scripts/gen_stubs.py --check    # exit 1 when the committed stubs differ

Every callable of the binding is declared once, in Python syntax with its
annotations ("try_claim(room_id: str, message_id: str) -> bool"), beside its
docstring. A small program (scripts/surface_dump.cpp, CMake target
orvu_surface_dump) links the binding without starting an interpreter and
prints those declarations together with the core's tables: the enumerations,
the event payload field rules and the session policy's settings. From that
record this script writes:

- every class in registration order: enumerations with their members, the
  other classes with constructor, properties and methods;
- every function, with one `validate_event_payload` overload per payload
  schema that returns its TypedDict;
- one TypedDict per event payload schema, read from the field rules.

What no declaration can carry (the dicts the decisions return, aliases, and
docstrings for what the module leaves undocumented) comes from
scripts/stub_overlay.pyi. The interpreter running this script must have its
shared library (CMake's Development.Embed), which the dump program links.
"""

from __future__ import annotations

import argparse
import ast
import json
import os
import pathlib
import re
import subprocess
import sys
import textwrap
from typing import Any

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "src" / "stubs" / "orvu_sdk_core-stubs" / "__init__.pyi"
OVERLAY = ROOT / "scripts" / "stub_overlay.pyi"
WIDTH = 118

# The dump's JSON: the record as a whole, and one of its objects.
Record = dict[str, Any]


def dump_surface(build_dir: pathlib.Path) -> Record:
    """Builds and runs the dump program; its JSON record of the surface."""
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "orvu_surface_dump", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)
    done = subprocess.run([str(build_dir / "orvu_surface_dump")], check=True, capture_output=True, text=True)
    record: Record = json.loads(done.stdout)
    return record


def docstring(text: str, indent: str) -> str:
    """A docstring block at `indent`; the module's texts hold no triple quotes."""
    lines = text.strip("\n").splitlines() or [""]
    if len(lines) == 1 and len(indent) + len(lines[0]) + 6 <= WIDTH:
        return f'{indent}"""{lines[0]}"""'
    body = "\n".join((indent + line).rstrip() if i else line for i, line in enumerate(lines))
    return f'{indent}"""{body}\n{indent}"""'


def split_params(text: str) -> list[str]:
    """Parameters split at the commas outside brackets."""
    parts, depth, current = [], 0, ""
    for c in text:
        depth += c in "[(" and 1 or (c in "])" and -1 or 0)
        if c == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += c
    return parts + ([current.strip()] if current.strip() else [])


def def_line(indent: str, name: str, params: list[str], result: str) -> str:
    """`def name(params) -> result:`, wrapped as a formatter would wrap it."""
    one = f"{indent}def {name}({', '.join(params)}) -> {result}:"
    if len(one) <= WIDTH:
        return one
    inner = indent + "    "
    joined = f"{inner}{', '.join(params)}"
    if len(joined) <= WIDTH:
        return f"{indent}def {name}(\n{joined}\n{indent}) -> {result}:"
    listed = "".join(f"{inner}{p},\n" for p in params)
    return f"{indent}def {name}(\n{listed}{indent}) -> {result}:"


class Declaration:
    """One declaration of the binding: "name(params) -> R" or "name: T"."""

    def __init__(self, text: str, doc: str):
        self.static = text.startswith("@staticmethod ")
        text = text.removeprefix("@staticmethod ")
        self.doc = doc
        call = re.fullmatch(r"(\w+)\((.*)\)(?: -> (.+))?", text, re.DOTALL)
        if call:
            self.name, params, self.result = call.group(1), call.group(2), call.group(3) or "None"
            self.params = split_params(params)
            self.property = False
        else:
            self.name, _, self.result = (part.strip() for part in text.partition(":"))
            self.params, self.property = [], True


class Generator:
    def __init__(self, surface: Record, overlay: str):
        self.surface = surface
        self.fills = dict(surface["ranges"])
        self.fills["policy_defaults"] = textwrap.fill(
            ", ".join(f"{key} [{value:g}]" for key, value in surface["policy"]), width=90)
        self.classes: dict[str, Declaration] = {}
        self.members: dict[str, list[Declaration]] = {}
        self.functions: dict[str, Declaration] = {}
        for entry in surface["declarations"]:
            d = Declaration(entry["declaration"], entry["doc"])
            if entry["owner"]:
                self.members.setdefault(entry["owner"], []).append(d)
            elif d.name[:1].isupper():
                self.classes[d.name] = d
            else:
                self.functions[d.name] = d
        self.enums = {e["name"]: e for e in surface["enums"]}
        self.overlay_text, self.notes = self.read_overlay(overlay)

    def fill(self, text: str) -> str:
        return re.sub(r"\{(\w+)\}", lambda m: str(self.fills.get(m.group(1), m.group(0))), text)

    def read_overlay(self, overlay: str) -> tuple[str, dict[str, str]]:
        """The part copied as it stands, and the docstrings the runtime classes lend."""
        tree = ast.parse(overlay)
        runtime = {name for name, _ in self.surface["classes"]}
        first = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name in runtime)
        # The overlay's own comments (what it is) stay behind.
        kept = [line for line in overlay.splitlines()[: first.lineno - 1] if not line.startswith("# ")]
        copied = re.sub(r"\n{3,}", "\n\n", "\n".join(kept)).rstrip() + "\n"
        notes: dict[str, str] = {}
        for node in tree.body[tree.body.index(first):]:
            if isinstance(node, ast.ClassDef):
                notes[node.name] = ast.get_docstring(node) or ""
                for member in node.body:
                    if isinstance(member, ast.FunctionDef):
                        notes[f"{node.name}.{member.name}"] = ast.get_docstring(member) or ""
        return self.fill(copied), {key: self.fill(value) for key, value in notes.items()}

    def doc(self, key: str, own: str, indent: str) -> str:
        """The module's docstring, or the overlay's where the module has none."""
        return docstring(own or self.notes.get(key, ""), indent)

    def enum(self, e: Record) -> list[str]:
        """An enumeration: its members, then its class as any other's."""
        name = e["name"]
        head, *rest = self.cls(name)[2:]
        members = [f"    {variant}: ClassVar[{name}]" for variant, _ in e["variants"]]
        return ["@final", f"class {name}:", head, *members, "    __hash__: ClassVar[None]  # type: ignore[assignment]",
                *rest, "    def __int__(self) -> int:",
                docstring("The member's index within its class, counting from 0.", "        ")]

    def cls(self, name: str) -> list[str]:
        d = self.classes[name]
        out = ["@final", f"class {name}:", self.doc(name, d.doc, "    ")]
        if not d.property:  # "Name(params)": a constructor
            out += [def_line("    ", "__new__", ["cls", *d.params], "Self"),
                    self.doc(f"{name}.__new__", "", "        ")]
        for m in self.members.get(name, []):
            if m.property:
                out += ["    @property", f"    def {m.name}(self) -> {m.result}:",
                        docstring(m.doc or "The member's wire string, the same as `str(member)`.", "        ")]
        for m in self.members.get(name, []):
            if m.property:
                continue
            if m.static:
                out.append("    @staticmethod")
            params = m.params if m.static else ["self", *m.params]
            out += [def_line("    ", m.name, params, m.result), self.doc(f"{name}.{m.name}", m.doc, "        ")]
        return out

    def function(self, name: str) -> list[str]:
        d = self.functions[name]
        out = []
        if name == "validate_event_payload":
            for schema, wires in self.payload_schemas():
                literal = ", ".join(f'"{w}"' for w in wires)
                params = [f"event_type: Literal[{literal}]", *d.params[1:]]
                out += ["@overload", def_line("", name, params, schema),
                        docstring(f"The {', '.join(f'`{w}`' for w in wires)} payload, checked and normalised.",
                                  "    ")]
            out.append("@overload")
        return out + [def_line("", name, d.params, d.result), docstring(d.doc, "    ")]

    # --- event payloads ----------------------------------------------------------------

    def payload_schemas(self) -> list[tuple[str, list[str]]]:
        """(TypedDict name, wire names) per schema table, in event order."""
        return [(self.schema_name(events), [e["wire"] for e in events]) for events in self.schema_groups()]

    @staticmethod
    def schema_name(events: list[Record]) -> str:
        """The words the event names of one schema share: MessageCreated, MessageUpdated -> Message."""
        words = [re.findall(r"[A-Z][a-z]*", e["variant"]) for e in events]
        shared = []
        for column in zip(*words):
            if len(set(column)) > 1:
                break
            shared.append(column[0])
        # A table shared by events with nothing in common is named after the first.
        return ("".join(shared) or events[0]["variant"]) + "Payload"

    def payloads(self) -> list[str]:
        out: list[str] = []
        for events in self.schema_groups():
            name = self.schema_name(events)
            wires = ", ".join(f'`{e["wire"]}`' for e in events)
            self.typed_dict(out, name, f"The {wires} payload as `validate_event_payload` returns it.",
                            events[0]["fields"])
        return out

    def schema_groups(self) -> list[list[Record]]:
        groups: dict[int, list[Record]] = {}
        for event in self.surface["events"]:
            if event["checked"]:
                groups.setdefault(event["table"], []).append(event)
        return list(groups.values())

    def typed_dict(self, out: list[str], name: str, doc: str, fields: list[Record]) -> None:
        lines = []
        for rule in fields:
            for key in filter(None, [rule["key"], rule["partner"]]):
                lines.append(f"    {key}: {self.field_type(name, rule, out)}")
        out += ["@type_check_only", f"class {name}(TypedDict):", docstring(doc, "    "), *lines, ""]

    def field_type(self, owner: str, rule: Record, out: list[str]) -> str:
        """The type a rule's field has in the normalised payload."""
        base = {"string": "str", "boolean": "bool", "array": "builtins.list[Any]", "object": "dict[str, Any]"}
        kind = base[rule["type"]]
        if rule["allowed"]:
            kind = "Literal[" + ", ".join(f'"{v}"' for v in rule["allowed"]) + "]"
        if rule["fields"]:
            nested = owner.removesuffix("Payload") + "".join(w.title() for w in rule["key"].split("_"))
            if rule["type"] == "array":
                nested += "Item"
            self.typed_dict(out, nested, f"An element of `{rule['key']}`." if rule["type"] == "array"
                            else f"The `{rule['key']}` object.", rule["fields"])
            kind = f"builtins.list[{nested}]" if rule["type"] == "array" else nested
        action = rule["action"]
        if action == "fill_empty":  # always present after normalisation
            return kind
        if action == "coerce_bool":
            return "bool"
        if action == "coerce_integer":
            return "NotRequired[int | None]"
        if action == "drop_null":
            return f"NotRequired[{kind}]"
        if rule["nullable"] or action == "remote_flags":
            kind += " | None"
        return kind if rule["required"] else f"NotRequired[{kind}]"

    # --- the file ----------------------------------------------------------------------

    def stubs(self) -> str:
        names = [name for name, _ in self.surface["classes"]] + self.surface["functions"]
        header, _, rest = self.overlay_text.partition("\n__version__")
        out = [header.rstrip(), "", "__all__ = [", *(f'    "{n}",' for n in names), "]", "",
               "__version__" + rest.rstrip(), "",
               "# " + "-" * 77,
               "# Event payloads, from the core's field rules: what `validate_event_payload` returns.", "",
               *self.payloads(),
               "# " + "-" * 77,
               "# The classes, in registration order. Enumeration members are singleton class",
               "# attributes; str() is the wire string, int() the index; members are unhashable",
               "# and compare only within their class. The enumerations declare no __eq__, so",
               "# that the type checkers flag a comparison with a str as one of unrelated types.", ""]
        for name, is_enum in self.surface["classes"]:
            out += (self.enum(self.enums[name]) if is_enum else self.cls(name)) + [""]
        out += ["# " + "-" * 77, "# Functions.", ""]
        for name in self.surface["functions"]:
            out += self.function(name)
        text = "\n".join(out).rstrip() + "\n"
        return "# Generated by scripts/gen_stubs.py from the module's declarations; do not edit.\n" + text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="fail when the committed stubs differ")
    parser.add_argument("--build-dir", type=pathlib.Path, default=ROOT / "build" / "surface",
                        help="where the dump program is built (default: build/surface)")
    args = parser.parse_args()
    text = Generator(dump_surface(args.build_dir), OVERLAY.read_text()).stubs()
    if args.check:
        if STUBS.read_text() != text:
            sys.stderr.write(f"{STUBS.relative_to(ROOT)} is not what scripts/gen_stubs.py writes; run it\n")
            return 1
        print("the stubs are what the declarations give")
        return 0
    STUBS.write_text(text)
    print(f"wrote {STUBS.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
