"""The exactly-once verdict of the test kit, on runs scripted frame by frame so that
each way of failing it is produced on purpose."""

from __future__ import annotations

import asyncio
import itertools
import json
from typing import Any

import pytest

pytest.importorskip("websockets")
pytest.importorskip("orvu_sdk")

from websockets.asyncio.client import connect  # noqa: E402

from orvu_sdk.testing import PlatformSimulator, assert_exactly_once, judge  # noqa: E402


async def scripted_run(steps: list[tuple[str, int]], *, published: int, rooms: tuple[str, ...] = ("lobby",),
                       leave_room: str | None = None) -> PlatformSimulator:
    """Publishes `published` messages in the first room, then sends what `steps` says for
    message n (1-based): "handoff", "reply" or "processed"."""
    refs = itertools.count(1)
    async with PlatformSimulator(rooms=rooms) as platform:
        async with connect(platform.url, ping_interval=None) as ws:
            async def request(topic: str, event: str, payload: dict[str, Any]) -> dict[str, Any]:
                ref = str(next(refs))
                await ws.send(json.dumps(["1", ref, topic, event, payload]))
                while True:
                    frame = json.loads(await asyncio.wait_for(ws.recv(), 5))
                    if frame[1] == ref:
                        return frame[4]

            topic = f"chat_room:{rooms[0]}"
            assert (await request(topic, "phx_join", {}))["status"] == "ok"
            ids = [await platform.publish(rooms[0], f"hello {n}") for n in range(published)]
            if leave_room is not None:
                await platform.publish(leave_room, "while the agent is away")
                await platform.remove_agent(leave_room)
            for step, n in steps:
                mid = ids[n - 1]
                if step == "handoff":
                    await request(topic, "turn_started", {"message_id": mid, "attempt": 1})
                elif step == "reply":
                    await request(topic, "send_message", {"content": "hi", "in_reply_to": mid,
                                                          "client_ref": f"r-{next(refs)}"})
                else:
                    await request(topic, "mark_processed", {"message_id": mid, "token": f"t-{n}"})
    return platform


def test_a_clean_run_holds_with_a_message_waiting_in_a_room_the_agent_left():
    platform = asyncio.run(scripted_run([("handoff", 1), ("reply", 1), ("processed", 1)], published=1,
                                        rooms=("lobby", "side"), leave_room="side"))
    verdict = assert_exactly_once(platform)
    assert verdict.holds and len(verdict.waiting) == 1
    assert str(verdict) == ("exactly once: 1 of 2 messages handed over and settled once, "
                            "1 waiting in rooms the agent left")


def test_every_way_of_failing_is_named_with_its_message_id():
    platform = asyncio.run(scripted_run([
        ("handoff", 1), ("reply", 1), ("processed", 1),      # fine
        ("handoff", 2),                                      # lost after a hand-off
        ("handoff", 3), ("reply", 3), ("reply", 3), ("processed", 3),   # answered twice
        ("processed", 4),                                    # settled, never handed over
        # 5: never handed over, never settled
    ], published=5))
    verdict = judge(platform)
    assert not verdict.holds
    assert verdict.offending_ids() == ["m-00002", "m-00003", "m-00004", "m-00005"]
    assert verdict.problems["m-00002"] == ("lost: handed over 1 time(s), never settled",)
    assert verdict.problems["m-00003"] == ("duplicated: 2 replies",)
    assert verdict.problems["m-00004"][0] == "settled processed without a hand-off to the agent"
    assert verdict.problems["m-00004"][1].startswith("violation: m-00004: terminal write for a message never")
    assert verdict.problems["m-00005"] == ("lost: never handed to the agent",)
    with pytest.raises(AssertionError) as caught:
        assert_exactly_once(platform)
    assert "offending messages: m-00002, m-00003, m-00004, m-00005" in str(caught.value)
    # Replies are not limited when told so: m-00003 passes then.
    assert "m-00003" not in judge(platform, replies_per_message=None).problems


@pytest.mark.parametrize("value, error", [(-1, ValueError), (1.5, TypeError), (True, TypeError)])
def test_a_bad_reply_limit_is_refused(value, error):
    with pytest.raises(error, match="replies_per_message"):
        judge(PlatformSimulator(), replies_per_message=value)
