import inspect

import pytest

import orvu_sdk_core as m
from orvu_sdk_core import TurnEffect, TurnLedger, TurnVerdict

E = TurnEffect

TOOLS = [
    ("orvu_get_participants", E.Observe), ("orvu_lookup_peers", E.Observe), ("orvu_list_contacts", E.Observe),
    ("orvu_list_contact_requests", E.Observe), ("orvu_list_memories", E.Observe), ("orvu_get_memory", E.Observe),
    ("orvu_list_room_files", E.Observe), ("orvu_read_room_file", E.Observe), ("orvu_list_tasks", E.Observe),
    ("orvu_get_task", E.Observe), ("orvu_get_task_history", E.Observe), ("orvu_get_board", E.Observe),
    ("orvu_send_event", E.Observe), ("orvu_add_participant", E.Act), ("orvu_remove_participant", E.Act),
    ("orvu_create_chatroom", E.Act), ("orvu_add_contact", E.Act), ("orvu_remove_contact", E.Act),
    ("orvu_respond_contact_request", E.Act), ("orvu_store_memory", E.Act), ("orvu_supersede_memory", E.Act),
    ("orvu_archive_memory", E.Act), ("orvu_create_task", E.Act), ("orvu_update_task", E.Act),
    ("orvu_set_board", E.Act), ("orvu_send_message", E.Reply), ("orvu_send_room_file", E.Reply),
    ("orvu_no_reply", E.Decline),
]


def test_tool_table_order_and_members():
    table = m.orvu_tool_effects()
    assert list(table) == [name for name, _ in TOOLS]
    assert all(table[name] is effect for name, effect in TOOLS)
    assert table["orvu_send_event"] is E.Observe


def test_functions_return_fresh_objects():
    a, b = m.orvu_tool_effects(), m.orvu_tool_effects()
    assert a is not b
    a.clear()
    assert len(m.orvu_tool_effects()) == 28
    t1, t2 = m.no_reply_tool(), m.no_reply_tool()
    assert t1 == t2 and t1 is not t2 and t1["parameters"] is not t2["parameters"]
    t1["parameters"][0]["required"] = True
    assert m.no_reply_tool()["parameters"][0]["required"] is False


def test_no_reply_tool_definition():
    tool = m.no_reply_tool()
    assert list(tool) == ["name", "description", "parameters"]
    assert tool["name"] == "orvu_no_reply"
    d = tool["description"]
    assert len(d) == 658
    assert d.startswith("End this turn without posting anything to the room.\n\nConsider every")
    assert d.endswith("It is a complete turn, not an error; do not also send a message.")
    assert d.count("\n") == 2
    assert tool["parameters"] == [
        {"name": "reason", "description": "Short note on why no reply is needed (kept in local logs only)",
         "required": False}
    ]
    assert list(tool["parameters"][0]) == ["name", "description", "required"]


def test_missing_reply_message():
    text = m.missing_reply_message()
    assert text == ("The agent ended its turn without replying or calling orvu_no_reply, "
                    "so nothing reached the room.")
    assert len(text) == 96


@pytest.mark.parametrize(
    "steps, verdict, replied",
    [
        ([], TurnVerdict.MissingReply, False),
        ([E.Observe, E.Observe], TurnVerdict.MissingReply, False),
        ([E.Act], TurnVerdict.Complete, False),
        ([E.Reply], TurnVerdict.Complete, True),
        ([E.Decline, E.Observe], TurnVerdict.Complete, True),
        ([E.Act, E.Observe, E.Reply], TurnVerdict.Complete, True),
        (["settle"], TurnVerdict.Complete, False),
        (["note_reported"], TurnVerdict.Complete, False),
        ([E.Observe, "settle", "note_reported", E.Observe], TurnVerdict.Complete, False),
        ([E.Reply, "settle"], TurnVerdict.Complete, True),
    ],
)
def test_ledger_states(steps, verdict, replied):
    ledger = TurnLedger()
    for step in steps:
        assert (getattr(ledger, step)() if isinstance(step, str) else ledger.record(step)) is None
    assert ledger.verdict() is verdict
    assert ledger.reply_settled() is replied


@pytest.mark.parametrize("bad", ["reply", 2, None, TurnVerdict.Complete, m.MemoryType.Iconic])
def test_record_rejects_non_members_and_changes_nothing(bad):
    ledger = TurnLedger()
    with pytest.raises(TypeError):
        ledger.record(bad)
    assert ledger.verdict() is TurnVerdict.MissingReply


@pytest.mark.parametrize(
    "call",
    [lambda: TurnLedger(1), lambda: TurnLedger(x=1), lambda: TurnLedger().settle(1),
     lambda: TurnLedger().record(), lambda: m.orvu_tool_effects(1), lambda: m.no_reply_tool(x=1),
     lambda: m.missing_reply_message(None)],
)
def test_argument_count_errors(call):
    with pytest.raises(TypeError):
        call()


def test_signatures_and_docstrings():
    assert str(inspect.signature(TurnLedger)) == "()"
    assert list(inspect.signature(TurnLedger.record).parameters) == ["self", "effect"]
    assert TurnLedger.__doc__.startswith("One agent turn's progress toward a reply.")
    assert m.missing_reply_message.__doc__ == "The text shown to the room on `TurnVerdict.MissingReply`."
    assert TurnVerdict.from_wire_name("missing_reply") is TurnVerdict.MissingReply
    assert TurnEffect.from_wire_name("Act") is None
