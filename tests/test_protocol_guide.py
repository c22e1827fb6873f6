"""docs/protocol.md says what the module does with every event.

The guide's per-event sections are read from the Markdown: each names the
event's topic and routing decision, lists its fields in a table and defines an
example `payload` in its first Python block. Here the required fields are
compared with what `validate_event_payload` reports missing from `{}`, each
type is tried with a wrong value and with null, each optional field is left
out, and the example is routed with the envelope room the guide's own rule
gives for the topic. (The blocks' printed claims are checked by test_docs.)
"""

from __future__ import annotations

import copy
import dataclasses
import re
from typing import Any

import pytest

import orvu_sdk_core as core
from docblocks import ROOT, python_blocks, run

GUIDE_PATH = "docs/protocol.md"
GUIDE = (ROOT / GUIDE_PATH).read_text(encoding="utf-8")
WIRE_NAMES = sorted(str(getattr(core.EventType, name)) for name in dir(core.EventType) if name[:1].isupper())


@dataclasses.dataclass
class Field:
    path: str
    type: str
    required: bool


@dataclasses.dataclass
class EventSection:
    event: str
    topic: str | None
    routing: str
    fields: list[Field]
    payload: Any


def guide_namespace(marker: str) -> dict[str, Any]:
    """Runs the guide's block that holds `marker`; returns what it defined."""
    (block,) = [b for b in python_blocks(GUIDE_PATH) if marker in b.source]
    namespace: dict[str, Any] = {}
    run(block, namespace)
    return namespace


def field_table(text: str) -> list[Field]:
    lines = text.splitlines()
    headers = [i for i, line in enumerate(lines) if line.startswith("| Field | Type | Required |")]
    if not headers:
        return []
    fields = []
    for line in lines[headers[0] + 2:]:
        if not line.startswith("|"):
            break
        path, kind, required = [cell.strip() for cell in line.strip("|").split("|")][:3]
        assert required in ("yes", "no"), line
        fields.append(Field(path.strip("`"), kind, required == "yes"))
    return fields


def event_sections() -> dict[str, EventSection]:
    part = GUIDE.split("## The events, one by one\n")[1].split("\n## ")[0]
    chunks = re.split(r"^### `([^`]+)`\n", part, flags=re.MULTILINE)[1:]
    blocks = {b.source: b for b in python_blocks(GUIDE_PATH)}
    found: dict[str, EventSection] = {}
    for event, text in zip(chunks[::2], chunks[1::2]):
        topic = re.search(r"\*\*Topic:\*\* (`([^`]+)`|not fixed)", text)
        routing = re.search(r'\*\*Routing:\*\* "(\w+)"', text)
        assert topic and routing, event
        fields = field_table(text)
        same_as = re.search(r"Fields: those of\s+`(\w+)`", text)
        if same_as:
            fields = field_table(GUIDE.split(f"### `{same_as.group(1)}`\n")[1].split("\n### ")[0])
        first = re.search(r"^```python\n(.*?)^```", text, flags=re.MULTILINE | re.DOTALL)
        assert first, event
        namespace: dict[str, Any] = {}
        run(blocks[first.group(1)], namespace)
        found[event] = EventSection(event, topic.group(2), routing.group(1), fields, namespace["payload"])
    return found


SECTIONS = event_sections()
ENVELOPE_ROOM = guide_namespace("def envelope_room")["envelope_room"]


def issues(event: str, payload: Any, messages: bool = False) -> list[tuple[str, ...]]:
    try:
        core.validate_event_payload(event, payload)
    except ValueError as error:
        return [found if messages else found[:2] for found in getattr(error, "issues")]
    return []


def with_value(payload: dict[str, Any], path: str, value: Any) -> dict[str, Any]:
    changed = copy.deepcopy(payload)
    *parents, key = path.split(".")
    target = changed
    for parent in parents:
        if not isinstance(target.get(parent), dict):
            target[parent] = {}
        target = target[parent]
    target[key] = value
    return changed


def without(payload: dict[str, Any], path: str) -> dict[str, Any]:
    changed = copy.deepcopy(payload)
    *parents, key = path.split(".")
    target = changed
    for parent in parents:
        target = target.get(parent) or {}
    target.pop(key, None)
    return changed


def test_every_event_has_a_section():
    assert sorted(SECTIONS) == WIRE_NAMES


def test_every_event_on_the_topic_table_names_that_topic():
    rows = [line for line in GUIDE.split("## Topics, and the `room_id` to pass")[1].split("\n## ")[0].splitlines()
            if line.startswith("| `")]
    listed = {}
    for row in rows:
        topic, _, _, pushes, _ = [cell.strip() for cell in row.strip()[1:-1].split("|")]
        for event in re.findall(r"`([\w.]+)`", pushes):
            listed[event] = topic.strip("`")
    assert {event: section.topic for event, section in SECTIONS.items() if section.topic} == listed


@pytest.mark.parametrize("topic, room", [
    ("chat_room:lobby", "lobby"), ("room_participants:lobby", "lobby"), ("chat_room:", ""),
    ("agent_rooms:agent-1", None), ("agent_control:agent-1", None), ("agent_contacts:agent-1", None),
])
def test_envelope_room_rule(topic, room):
    assert ENVELOPE_ROOM(topic) == room


@pytest.mark.parametrize("event", sorted(SECTIONS))
def test_required_fields_are_what_validation_finds_missing(event):
    section = SECTIONS[event]
    if event == "event_created":
        assert section.fields == [] and issues(event, {}) == []
        return
    assert [f.path for f in section.fields if f.required] == [path for path, _ in issues(event, {})]
    assert {code for _, code in issues(event, {})} == {"missing"}


@pytest.mark.parametrize("event", sorted(SECTIONS))
def test_example_payload_is_valid_and_routes_as_documented(event):
    section = SECTIONS[event]
    assert issues(event, section.payload) == []
    room = ENVELOPE_ROOM(section.topic.replace("<room>", "lobby").replace("<agent>", "agent-1")) \
        if section.topic else None
    decision = core.evaluate_delivery_event(event, room, section.payload, "agent-1")
    assert decision["decision"] == section.routing


WRONG = {"string": 5, "boolean": "yes", "array": "x", "object": "x"}
RIGHT = {"string": "text", "boolean": True, "array": [], "object": {}}


def probes(section: EventSection):
    for field in section.fields:
        yield pytest.param(section.event, field, id=f"{section.event}.{field.path}")


@pytest.mark.parametrize("event, field", [p for s in SECTIONS.values() for p in probes(s)])
def test_field_type_is_what_validation_accepts(event, field):
    payload = SECTIONS[event].payload
    nullable = field.type.endswith(" or null")
    base = field.type.removesuffix(" or null")
    if base == "any":
        assert issues(event, with_value(payload, field.path, 5)) == []
        assert issues(event, with_value(payload, field.path, None)) == []
    elif base.startswith("one of: "):
        allowed = base.removeprefix("one of: ").split(", ")
        for value in allowed:
            assert issues(event, with_value(payload, field.path, value)) == []
        message = f"`{field.path}` must be one of: {', '.join(allowed)}"
        assert issues(event, with_value(payload, field.path, "none of them"), messages=True) == [
            (field.path, "invalid_value", message)]
        assert issues(event, with_value(payload, field.path, 5)) == [(field.path, "wrong_type")]
    elif base in WRONG:
        assert issues(event, with_value(payload, field.path, RIGHT[base])) == []
        assert issues(event, with_value(payload, field.path, WRONG[base])) == [(field.path, "wrong_type")]
        expected_for_null = [] if nullable else [(field.path, "wrong_type")]
        assert issues(event, with_value(payload, field.path, None)) == expected_for_null
    else:
        pytest.fail(f"unknown type {field.type!r} for {event}.{field.path}")
    if not field.required:
        assert issues(event, without(payload, field.path)) == []


@pytest.mark.parametrize("event, field", [
    ("message_created", Field("sender_name", "string", False)),          # it accepts null
    ("message_created", Field("content", "string or null", True)),       # it refuses null
    ("contact_added", Field("tags", "object", False)),                   # an array
    ("agent.control", Field("mode", "one of: interrupt, stop", True)),   # "play" too
    ("supersede", Field("retryable", "boolean", False)),                 # never an issue
])
def test_type_probe_notices_a_wrong_row(event, field):
    with pytest.raises(AssertionError):
        test_field_type_is_what_validation_accepts(event, field)


def test_required_field_check_notices_a_missing_row(monkeypatch):
    section = SECTIONS["supersede"]
    changed = dataclasses.replace(section, fields=[f for f in section.fields if f.path != "correlation_id"])
    monkeypatch.setitem(SECTIONS, "supersede", changed)
    with pytest.raises(AssertionError):
        test_required_fields_are_what_validation_finds_missing("supersede")
