"""The delivery driver: every message the platform pushes reaches the agent exactly once.

For each "invocation" the driver asks the `ClaimRegistry` (`guarded_claim`), queues a runnable
message on its room's serial queue, runs the agent turn with its `TurnLedger` and tools, turns
the outcome into a settlement (`evaluate_adapter_result`, `record_processed_settlement` or
`record_failed_settlement`) and performs the terminal write until the platform accepts it,
parking it while the platform cannot take it. A write lost with its connection stays owed and
is sent again, with the same token, once the room is joined on a later connection.

Each room's queue is bounded: when it is full the driver claims no more of that room's
messages, and once the queue has drained it rejoins the room's chat channel, on which the
platform pushes every open message again. Nothing is lost and memory stays flat.

The journal points of a message's life (a run begins and ends, a settlement is recorded,
accepted or parked, a message is dropped from the queue unstarted) are the `_journal_*`
methods below, in one place.
"""

from __future__ import annotations

import asyncio
import dataclasses
import logging
import secrets
from collections.abc import Awaitable, Callable
from typing import Any, cast

import orvu_sdk_core as core

from ._runtime import Runtime
from .journal import EXHAUSTED_ERROR, Journal
from .store import StoreError
from .events import MessageCreated, Participant
from .phoenix import MESSAGE_TOO_BIG, TOO_BIG_REPLY, UNMATCHED_TOPIC, ConnectionLost, Reply
from .tools import ToolBackend, Tools

Agent = Callable[[MessageCreated, Tools], Awaitable[None]]

MAX_BRIEF_ERROR = 200   # characters of a failure's text kept in a terminal write sent again shorter
MAX_ERROR = 2000        # characters of an agent's exception text kept in its failure


class WriteRefused(Exception):
    """A room push that retrying cannot get accepted."""

    def __init__(self, event: str, reason: str) -> None:
        super().__init__(f"the platform refused {event}: {reason}")


@dataclasses.dataclass
class _Item:
    message_id: str
    payload: MessageCreated
    resumed: bool = False
    handed: bool = False   # the platform accepted turn_started for the current attempt


class _Lane:
    """One room's serial queue and its worker."""

    def __init__(self) -> None:
        self.queue: asyncio.Queue[_Item] = asyncio.Queue()
        self.worker: asyncio.Task[None] | None = None
        self.turn: asyncio.Task[tuple[bool, str | None, bool]] | None = None
        self.cut_reason: str | None = None
        self.busy = False
        self.overflowed = False   # messages were left unclaimed: intake waits for a rejoin
        self.resyncing = False


@dataclasses.dataclass
class DeliverySettings:
    max_retries: int = 2
    max_queue: int = 100
    max_concurrent_turns: int = 8
    turn_timeout_s: float | None = 300.0
    write_retry_s: float = 1.0
    max_write_refusals: int = 3


class DeliveryDriver:
    def __init__(self, runtime: Runtime, agent: Agent, settings: DeliverySettings,
                 tool_backend: ToolBackend | None = None,
                 resync_room: Callable[[str], None] | None = None, journal: Journal | None = None) -> None:
        self.rt = runtime
        self.agent = agent
        self.settings = settings
        self.tool_backend = tool_backend
        self.resync_room = resync_room
        # Every change to the ledger's lasting state goes through the journal, which records
        # it in the host's store (or nowhere, without one) and rebuilt it from there at start.
        self.journal = journal if journal is not None else Journal(None, max_retries=settings.max_retries)
        self.claims = self.journal.claims
        self.retries = self.journal.retries
        self.accepting = True
        self.handled: dict[str, int] = {}           # message id -> runs of the agent
        self._lanes: dict[str, _Lane] = {}
        self._payloads: dict[str, MessageCreated] = {}        # message id -> payload, for retries
        self._failures: dict[str, core.AgentFailure] = {}    # message id -> the agent's last failure
        self._cut: set[str] = set()                           # messages whose turn was cut short
        self._slots = asyncio.Semaphore(settings.max_concurrent_turns)
        # Without a store, the next run's registry hands out tokens from "0" again, and the
        # platform answers a (message, token) pair it has taken as a duplicate and keeps
        # nothing: a final status written by the next run could be dropped. A prefix drawn
        # afresh per run keeps this run's tokens its own. With a store the registry's counter
        # is restored exactly and owed writes must go out under the tokens they were first
        # sent with, so the module's token goes on the wire as it is.
        self._token_prefix = "" if self.journal.durable else f"{secrets.token_hex(6)}."
        agent_name = getattr(agent, "__name__", None)
        self._agent_name = agent_name if isinstance(agent_name, str) else type(agent).__name__

    # -- journal points -------------------------------------------------------------------
    def _journal_run_started(self, room: str, message_id: str, attempt: int) -> None:
        self.handled[message_id] = self.handled.get(message_id, 0) + 1
        self.rt.log("turn.started", room=room, message=message_id, attempt=attempt)

    def _journal_run_ended(self, room: str, message_id: str, succeeded: bool, error: str | None) -> None:
        self.rt.log("turn.ended", room=room, message=message_id, succeeded=succeeded)
        if not succeeded:
            self.rt.count("turns_failed")
            self.rt.log("turn.failed", logging.INFO, room=room, message=message_id, error=(error or "")[:200])

    def _journal_settled(self, room: str, message_id: str, settlement: core.SettlementDescription) -> None:
        self.rt.log("settlement.recorded", room=room, message=message_id, status=settlement["status"],
                    token=settlement["token"], continuation=settlement["continuation"]["kind"])

    def _journal_accepted(self, room: str, message_id: str, status: str, retry: bool) -> None:
        self.rt.log("write.accepted", room=room, message=message_id, status=status, retry=retry)
        if not retry:
            # Done for good: handled successfully, or failed permanently.
            self.rt.count("messages_handled")

    def _journal_parked(self, room: str, message_id: str, reason: str) -> None:
        self.rt.count("writes_parked")
        self.rt.log("write.parked", logging.INFO, room=room, message=message_id, reason=reason)

    def _journal_discarded(self, room: str, message_id: str) -> None:
        self.rt.log("message.unclaimed", room=room, message=message_id)

    # -- intake ---------------------------------------------------------------------------
    def on_invocation(self, room: str, message_id: str, message: MessageCreated) -> None:
        if not self.accepting:
            return   # left unclaimed: the platform keeps it open for the next run
        lane = self._lane(room)
        if not lane.overflowed and lane.queue.qsize() >= self.settings.max_queue:
            lane.overflowed = True
            self.rt.log("queue.full", logging.INFO, room=room)
        if lane.overflowed:
            # Not claimed, so not lost: the room's open messages are pushed again, in order, once
            # the queue has drained and the chat channel is joined again. Nothing newer is taken
            # meanwhile, so that the room's order holds.
            return
        held = message.get("agent_status")
        word = self.journal.claim(room, message_id, durably_processed=held == "processed",
                                  durably_failed=held == "failed", allow_failed_retry=False)
        self.rt.log("message.eligibility", room=room, message=message_id, answer=word)
        if word == "runnable":
            self._payloads[message_id] = message
            lane.queue.put_nowait(_Item(message_id, message))
        elif word == "exhausted":
            self.rt.spawn(self._recorded(self._settle_exhausted(room, message_id), room))
        else:
            self.rt.count("redeliveries_recognised")

    def _lane(self, room: str) -> _Lane:
        lane = self._lanes.get(room)
        if lane is None:
            lane = self._lanes[room] = _Lane()
        if lane.worker is None or lane.worker.done():
            lane.worker = asyncio.ensure_future(self._room_worker(room, lane))
        return lane

    def room_ready(self, room: str) -> None:
        """Both topics of the room are joined (again): parked writes may go out."""
        unparked = self.journal.room_ready(room)
        if unparked:
            self.rt.log("writes.unparked", room=room, count=unparked)
        self._lane(room)

    def chat_joining(self, room: str) -> None:
        """The room's chat channel is about to be joined: the platform pushes every open message
        of the room right after the join reply, in the room's order, so intake opens again."""
        lane = self._lanes.get(room)
        if lane is not None:
            lane.overflowed = lane.resyncing = False

    def room_gone(self, room: str) -> None:
        """The agent is no longer in the room: a turn running there is cut short and settled."""
        self.journal.room_removed(room)
        lane = self._lanes.get(room)
        if lane is not None and lane.turn is not None and not lane.turn.done():
            lane.cut_reason = "the room was removed while the agent ran"
            lane.turn.cancel()

    # -- the room's worker ----------------------------------------------------------------
    async def _room_worker(self, room: str, lane: _Lane) -> None:
        while True:
            item = await lane.queue.get()
            lane.busy = True
            try:
                await self._handle(room, lane, item)
            except ConnectionLost:
                pass   # the session is over
            except StoreError as exc:
                self.store_failed(exc, f"delivery in room {room}")
            except Exception as exc:
                # A fault of the host itself: reported, and the room goes on with its next message.
                self.rt.error(exc, f"delivery in room {room}")
            finally:
                lane.busy = False
                await self.rt.changed_now()
            if lane.overflowed and not lane.resyncing and lane.queue.empty() and self.accepting:
                lane.resyncing = True
                if self.resync_room is not None:
                    self.resync_room(room)

    async def _handle(self, room: str, lane: _Lane, item: _Item) -> None:
        message_id = item.message_id
        run = self.journal.run_started(room, message_id)
        attempt = run.attempt
        self.rt.log("message.attempt", room=room, message=message_id, attempt=attempt, exhausted=run.exhausted)
        if run.exhausted:
            self._settle(room, message_id, False, EXHAUSTED_ERROR, False)
            await self._write(room, message_id)
            return
        lane.cut_reason = None
        if run.resumed:
            item.resumed = True   # cut short by the death of the last host
        # A resumed run announces the hand-off of the run it resumes, and posts under its refs.
        handoff = run.handoff if run.handoff is not None else attempt
        turn = lane.turn = asyncio.ensure_future(self._turn(room, item, handoff))
        try:
            await asyncio.wait({turn})
        except asyncio.CancelledError:
            turn.cancel()
            raise
        finally:
            lane.turn = None
        error: str | None
        if turn.cancelled():
            reason = lane.cut_reason or "the turn was cancelled"
            self.rt.log("turn.cut", logging.INFO, room=room, message=message_id, reason=reason)
            # The attempt is given back either way.
            self.journal.attempt_discarded(run)
            if not item.handed or not self.accepting:
                # Cut before the platform knew of the hand-off, or by a stop: given back
                # unsettled. Unclaimed again, the message stays open on the platform and is
                # pushed again when its room is next joined, by this run or the next one. (A
                # settlement written now would be lost on the next run: its ClaimRegistry
                # hands out the same tokens again, which the platform takes as duplicates.)
                self.claims.release(room, message_id)
                self._payloads.pop(message_id, None)
                self._journal_discarded(room, message_id)
                return
            # The next run resumes it under the same attempt number once the settlement's
            # retry write is accepted.
            self._cut.add(message_id)
            succeeded, retry = False, True
            error = reason
        else:
            succeeded, error, retry = turn.result()
        self._journal_run_ended(room, message_id, succeeded, error)
        self.journal.run_ended(run, "complete" if succeeded else "failed")
        self._settle(room, message_id, succeeded, error, retry)
        await self._write(room, message_id)

    async def _turn(self, room: str, item: _Item, attempt: int) -> tuple[bool, str | None, bool]:
        """Announces the hand-off and runs the agent: (succeeded, error, retry allowed)."""
        try:
            await self.push_reliably(room, "turn_started", {"message_id": item.message_id, "attempt": attempt})
            item.handed = True
            async with self._slots:
                return await self._run_agent(room, item, attempt)
        except WriteRefused as exc:
            # A write of this turn can never succeed, so neither can another attempt: the
            # message is settled as failed, and the messages behind it in the room go on.
            return False, str(exc), False

    async def _run_agent(self, room: str, item: _Item, attempt: int) -> tuple[bool, str | None, bool]:
        ledger = core.TurnLedger()
        # Wall-clock seconds: the agent's own work does not run faster on a test clock.
        timeout = self.settings.turn_timeout_s
        real_timeout = timeout
        loop = asyncio.get_running_loop()

        async def post(text: str, client_ref: str) -> None:
            await self.push_reliably(room, "send_message",
                                     {"content": text, "in_reply_to": item.message_id, "client_ref": client_ref})

        tools = Tools(room_id=room, message_id=item.message_id, attempt=attempt, resumed=item.resumed,
                      deadline=None if real_timeout is None else loop.time() + real_timeout,
                      ledger=ledger, post=post, participants=lambda: self.participants_of(room),
                      backend=self.tool_backend)
        roster = self.rt.rosters.get(room)
        if roster is not None and roster.changed():
            roster.mark_sent()
        self._journal_run_started(room, item.message_id, attempt)
        try:
            async with asyncio.timeout(real_timeout):
                await self.agent(item.payload, tools)
        except WriteRefused:
            raise
        except TimeoutError:
            failure = core.AgentFailure(self._agent_name, f"the agent did not finish within {timeout} s",
                                        code="timeout")
            self._failures[item.message_id] = failure
            return False, failure.message, True
        except Exception as exc:
            text = str(exc) or type(exc).__name__
            failure = core.AgentFailure(self._agent_name, text[:MAX_ERROR], code="agent_error")
            self._failures[item.message_id] = failure
            self.rt.error(exc, f"agent on {item.message_id}", quiet=True)
            return False, failure.message, True
        verdict = ledger.verdict()
        self.rt.log("turn.verdict", message=item.message_id, verdict=str(verdict))
        if verdict is core.TurnVerdict.MissingReply:
            await tools.post(core.missing_reply_message())
        return True, None, True

    def participants_of(self, room: str) -> list[Participant]:
        roster = self.rt.rosters.get(room)
        return [cast(Participant, dict(p)) for p in roster.list()] if roster is not None else []

    # -- settlement and the terminal write ------------------------------------------------
    def _settle(self, room: str, message_id: str, succeeded: bool, error: str | None, retry: bool) -> None:
        decision = core.evaluate_adapter_result(room, message_id, succeeded)
        if decision["decision"] == "processed":
            settlement = self.journal.settled_processed(room, message_id)
        else:
            settlement = self.journal.settled_failed(room, message_id, error or "failed", retry)
        self._journal_settled(room, message_id, settlement)

    async def _settle_exhausted(self, room: str, message_id: str) -> None:
        if not self.claims.try_claim(room, message_id):
            return
        self._settle(room, message_id, False, EXHAUSTED_ERROR, False)
        await self._write(room, message_id)

    async def _write(self, room: str, message_id: str) -> None:
        """Performs the owed terminal write until the platform accepts it.

        A write lost with its connection keeps its claim and its pending settlement, and is
        sent again under the same token once the room is rejoined on a later one: the platform
        takes a token it has seen as a duplicate, so the write counts once either way."""
        brief = False   # once the write was too big: without the failure's detail
        while not self.rt.dead():
            settlement = self.claims.pending_settlement(room, message_id)
            if settlement is None:
                return
            if settlement["parked"] is not None:
                await self.rt.until(lambda: self._unparked(room, message_id))
                continue
            retry = settlement["continuation"]["kind"] == "retry"
            event = f"mark_{settlement['status']}"
            body: dict[str, Any] = {"message_id": message_id, "token": self._token_prefix + settlement["token"],
                                   "retry": retry}
            if settlement["status"] == "failed":
                error = settlement.get("error") or "failed"
                body["error"] = error[:MAX_BRIEF_ERROR] if brief else error
                failure = self._failures.get(message_id)
                if failure is not None and not brief:
                    body["extension_data"] = failure.to_extension_data()
            reply = await self._room_request(room, event, body)
            if reply is None:
                continue
            if reply.reason == MESSAGE_TOO_BIG and not brief:
                # The agent's own failure text can be too long for the platform's frames.
                self.rt.log("write.too_big", logging.INFO, room=room, message=message_id, request=event)
                brief = True
                continue
            if reply.ok:
                self.journal.write_accepted(room, message_id, settlement["token"])
                self.claims.release(room, message_id)
                self._journal_accepted(room, message_id, settlement["status"], retry)
                if retry:
                    self._requeue(room, message_id)
                else:
                    self._payloads.pop(message_id, None)
                    self._cut.discard(message_id)
                self._failures.pop(message_id, None)
                return
            # "unmatched topic": the channel went away under the write; it is sent again once
            # the room is rejoined.
            reason = core.ParkedReason.NotFound if reply.reason in ("not_found", UNMATCHED_TOPIC) \
                else core.ParkedReason.Rejected
            self.journal.write_refused(room, message_id, settlement["token"], reason)
            self._journal_parked(room, message_id, str(reason))
            if reason is core.ParkedReason.Rejected:
                self.rt.spawn(self._unpark_later(room))
            elif self.rt.room_ready(room):
                # The room came back before this refusal was read: nothing else will unpark it.
                self.journal.room_ready(room)

    def _unparked(self, room: str, message_id: str) -> bool:
        settlement = self.claims.pending_settlement(room, message_id)
        return settlement is None or settlement["parked"] is None

    async def _unpark_later(self, room: str) -> None:
        await self.rt.sleep(self.settings.write_retry_s)
        self.journal.room_ready(room)
        await self.rt.changed_now()

    def _requeue(self, room: str, message_id: str) -> None:
        if not self.accepting:
            # Stopping: the platform keeps the message open for the next run.
            self._payloads.pop(message_id, None)
            return
        payload = self._payloads.get(message_id)
        word = self.journal.claim(room, message_id)
        self.rt.log("message.retry", room=room, message=message_id, answer=word)
        if word == "runnable" and payload is None:
            # A write the last host owed, whose payload went with it: given back, and the
            # room's chat channel joined again, on which the platform pushes it again.
            self.claims.release(room, message_id)
            if self.resync_room is not None:
                self.resync_room(room)
        elif word == "runnable" and payload is not None:
            resumed = message_id in self._cut
            self._cut.discard(message_id)
            self._lane(room).queue.put_nowait(_Item(message_id, payload, resumed))

    async def _room_request(self, room: str, event: str, body: dict[str, Any]) -> Reply | None:
        """One request on the room's topic once the room is ready; None when there is no live
        connection or it was lost before the reply (the caller tries again). A connection the
        platform closed because this request's frame was too big is a refusal, MESSAGE_TOO_BIG."""
        await self.rt.until(lambda: self.rt.room_ready(room))
        socket = self.rt.socket
        if socket is None or self.rt.dead():
            return None
        try:
            return await socket.request(core.chat_room_topic(room), event, body)
        except ConnectionLost as lost:
            await self.rt.until(lambda: self.rt.socket is not socket)
            return TOO_BIG_REPLY if lost.too_big else None

    async def push_reliably(self, room: str, event: str, body: dict[str, Any]) -> dict[str, Any]:
        """Sends a room push until the platform accepts it (idempotent pushes only).

        A push that met a channel gone away or a lost connection is sent again once the room
        is back, as often as that takes. A refusal retrying cannot cure (a frame too big, a
        payload the platform will not take) raises `WriteRefused` after `max_write_refusals`
        of them, and at once for a frame the platform is already known not to take."""
        refusals = 0
        known_too_big = False
        while True:
            socket = self.rt.socket
            limit = socket.frame_limit.max_bytes if socket is not None else None
            reply = await self._room_request(room, event, body)
            if reply is None:
                if self.rt.dead():
                    raise ConnectionLost()
                continue
            if reply.ok:
                return reply.response
            if reply.reason != UNMATCHED_TOPIC:
                refusals += 1
                known_too_big = reply.reason == MESSAGE_TOO_BIG and limit is not None
                if refusals >= self.settings.max_write_refusals or known_too_big:
                    self.rt.log("write.refused", logging.WARNING, room=room, request=event,
                                reason=reply.reason, tries=refusals)
                    raise WriteRefused(event, reply.reason)
            self.rt.log("write.retry", logging.INFO, room=room, request=event, reason=reply.reason)
            await self.rt.sleep(self.settings.write_retry_s)

    # -- stopping -------------------------------------------------------------------------
    def idle(self) -> bool:
        return all(not lane.busy and lane.queue.empty() for lane in self._lanes.values())

    def drop_queued(self) -> None:
        """Gives back every queued message whose turn has not begun: unclaimed again, the
        platform keeps it open."""
        for room, lane in self._lanes.items():
            while not lane.queue.empty():
                item = lane.queue.get_nowait()
                self.claims.release(room, item.message_id)
                self._journal_discarded(room, item.message_id)

    def cut_all(self, reason: str) -> None:
        for lane in self._lanes.values():
            if lane.turn is not None and not lane.turn.done():
                lane.cut_reason = reason
                lane.turn.cancel()

    def store_failed(self, exc: StoreError, where: str) -> None:
        """A decision could not be recorded (a full disk, most often): it is not acted on, and
        no new message is taken. The message stays claimed and unsettled here; the next host on
        the store resumes it or sends its owed write."""
        if self.accepting:
            self.accepting = False
            self.rt.log("store.failed", logging.ERROR, error=str(exc)[:500],
                        note="no new messages are taken until the host is restarted")
        self.rt.error(exc, where, quiet=True)

    async def _recorded(self, work: Awaitable[None], room: str) -> None:
        try:
            await work
        except StoreError as exc:
            self.store_failed(exc, f"terminal write in room {room}")

    def send_owed_writes(self) -> None:
        """Sends the terminal writes the last host owed (each once its room is joined),
        without running the agent."""
        for room, message_id in self.journal.recovery.owed:
            if self.claims.try_claim(room, message_id):
                self.rt.spawn(self._recorded(self._write(room, message_id), room))

    async def close(self) -> None:
        workers = [lane.worker for lane in self._lanes.values() if lane.worker is not None]
        for task in workers:
            task.cancel()
        await asyncio.gather(*workers, return_exceptions=True)
        try:
            self.journal.close()   # closes the store even when the last records do not fit
        except StoreError as exc:
            self.store_failed(exc, "closing the store")
