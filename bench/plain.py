"""Straightforward pure-Python versions of the rules that bench/compare.py
times against the native module: the message payload check with its JSON
conversion, the stateless decisions, the delivery ledger's lifecycle calls,
the session state machine, the room subscription half and the pending asks.

They are written the way a careful Python developer would write them without
a native core: plain dicts and OrderedDicts, argument type checks, and the
same results (dicts with their keys in the same order, the same words). They
cover only the calls the benchmark makes, and serve nothing but comparison.
"""
import math
from collections import OrderedDict, deque

# ---------------------------------------------------------------------------
# JSON conversion and the message schema

_I64_MIN, _U64_MAX = -(1 << 63), (1 << 64) - 1


def to_json(value, depth=0):
    """Copies a Python value as JSON: objects get their keys sorted."""
    if depth > 128:
        raise ValueError("payload nests too deeply")
    if value is None or value is True or value is False or type(value) is str:
        return value
    if type(value) is int:
        if not _I64_MIN <= value <= _U64_MAX:
            raise TypeError("integer out of range")
        return value
    if type(value) is float:
        if not math.isfinite(value):
            raise TypeError("non-finite float")
        return value
    if isinstance(value, dict):
        out = {}
        for key in sorted(value):
            if type(key) is not str:
                raise TypeError("object keys must be strings")
            out[key] = to_json(value[key], depth + 1)
        return out
    if isinstance(value, (list, tuple)):
        return [to_json(item, depth + 1) for item in value]
    raise TypeError(f"cannot convert {type(value).__name__}")


_REQUIRED = ("id", "content", "message_type", "sender_type", "sender_id", "inserted_at", "updated_at")
_MENTION_OPTIONAL = ("username", "handle", "name")


class PayloadError(ValueError):
    def __init__(self, issues, trace_context=None):
        super().__init__(f"{len(issues)} validation issue(s)")
        self.issues = tuple(issues)
        self.trace_context = trace_context


def _check_string(obj, key, path, issues, required):
    if key not in obj:
        if required:
            issues.append((path, "missing", f"required field `{path}` is missing"))
    elif type(obj[key]) is not str and (required or obj[key] is not None):
        issues.append((path, "wrong_type", f"`{path}` must be a string"))


def validate_message(raw, trace_context=None):
    payload = to_json(raw)
    if type(payload) is not dict:
        raise PayloadError([("", "wrong_type", "payload must be a JSON object")], trace_context)
    issues = []
    for key in _REQUIRED:
        _check_string(payload, key, key, issues, True)
    _check_string(payload, "sender_name", "sender_name", issues, False)
    metadata = payload.get("metadata")
    if metadata is None:
        payload["metadata"] = {"mentions": []}
    elif type(metadata) is not dict:
        issues.append(("metadata", "wrong_type", "`metadata` must be an object"))
    else:
        mentions = metadata.get("mentions")
        if mentions is None:
            metadata["mentions"] = []
        elif type(mentions) is not list:
            issues.append(("metadata.mentions", "wrong_type", "`metadata.mentions` must be an array"))
        else:
            for i, mention in enumerate(mentions):
                prefix = f"metadata.mentions[{i}]"
                if type(mention) is not dict:
                    issues.append((prefix, "wrong_type", f"`{prefix}` must be an object"))
                    continue
                _check_string(mention, "id", f"{prefix}.id", issues, True)
                for key in _MENTION_OPTIONAL:
                    _check_string(mention, key, f"{prefix}.{key}", issues, False)
    attachments = payload.get("attachments")
    if attachments is None:
        payload["attachments"] = []
    elif type(attachments) is not list:
        issues.append(("attachments", "wrong_type", "`attachments` must be an array"))
    if issues:
        raise PayloadError(issues, trace_context)
    return payload


# ---------------------------------------------------------------------------
# Stateless decisions: close and upgrade classification, routing's self-echo
# rule, the drain step, the adapter and next-message decisions, ask senders


def _int_in(name, value, low, high):
    if not isinstance(value, int):
        raise TypeError(f"argument `{name}` must be int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"`{name}` must be an integer between {low} and {high}, got {value}")
    return value


def classify_close(close_code):
    if close_code is None:
        return False, None
    return _int_in("close_code", close_code, 0, 65535) == 1000, None


_TERMINAL_UPGRADES = frozenset((400, 403, 409))


def classify_upgrade(status):
    return _int_in("status", status, 0, 65535) in _TERMINAL_UPGRADES, None


def is_self_echo(sender_id, sender_type, agent_id):
    _need_str(sender_id=sender_id, sender_type=sender_type, agent_id=agent_id)
    return sender_type == "Agent" and sender_id == agent_id


def evaluate_drain_candidate(candidate, seen_ids, agent_id):
    _need_str(agent_id=agent_id)
    fields = None
    if candidate is not None:
        candidate = to_json(candidate)
        fields = []
        for key in ("id", "sender_id", "sender_type"):
            value = candidate.get(key) if isinstance(candidate, dict) else None
            if type(value) is not str:
                raise TypeError(f"candidate.{key} must be a string")
            fields.append(value)
    if isinstance(seen_ids, str):
        raise TypeError("`seen_ids` must be an iterable of str, not a str")
    seen = set()
    for message_id in seen_ids:
        _need_str(seen_ids=message_id)
        seen.add(message_id)
    if fields is None:
        return {"decision": "no_candidate"}
    message_id, sender_id, sender_type = fields
    if sender_type == "Agent" and sender_id == agent_id:
        decision = "self_echo"
    else:
        decision = "drain" if message_id in seen else "out_of_snapshot"
    return {"decision": decision, "message_id": message_id}


def evaluate_adapter_result(room_id, message_id, succeeded):
    _need_str(room_id=room_id, message_id=message_id)
    if type(succeeded) is not bool:
        raise TypeError(f"argument `succeeded` must be bool, not {type(succeeded).__name__}")
    return {"decision": "processed" if succeeded else "failed", "room_id": room_id, "message_id": message_id}


def evaluate_next_message(triggering_message_id, next_message_id):
    _need_str(triggering_message_id=triggering_message_id)
    if next_message_id is None:
        return {"decision": "no_pending"}
    _need_str(next_message_id=next_message_id)
    if next_message_id == triggering_message_id:
        return {"decision": "ready_to_claim"}
    return {"decision": "already_processed", "next_open_id": next_message_id}


def is_authorized_sender(authorized_senders, sender_id):
    if authorized_senders is None:
        return True
    if not isinstance(authorized_senders, (set, frozenset)):
        raise TypeError("`authorized_senders` must be a set, a frozenset or None")
    for member in authorized_senders:
        _need_str(authorized_senders=member)
    return type(sender_id) is str and sender_id in authorized_senders


# ---------------------------------------------------------------------------
# Delivery ledger: the claim registry and the retry budget


def _need_str(**kwargs):
    for name, value in kwargs.items():
        if type(value) is not str:
            raise TypeError(f"argument `{name}` must be str, not {type(value).__name__}")


class RetryTracker:
    def __init__(self, max_retries, max_tracked=10000):
        self.max_retries, self.max_tracked = max_retries, max(max_tracked, 1)
        self.records = OrderedDict()  # message_id -> [attempts, limit]
        self.failed = OrderedDict()

    def _mark_failed(self, message_id):
        if message_id not in self.failed:
            self.failed[message_id] = None
            while len(self.failed) > self.max_tracked:
                self.failed.popitem(last=False)

    def record_attempt(self, message_id):
        _need_str(message_id=message_id)
        record = self.records.get(message_id)
        if record is None:
            record = self.records[message_id] = [0, self.max_retries]
            while len(self.records) > self.max_tracked:
                self.records.popitem(last=False)
        record[0] = min(record[0] + 1, 0xFFFFFFFF)
        exhausted = record[0] > record[1]
        if exhausted:
            self._mark_failed(message_id)
        return record[0], exhausted


class ClaimRegistry:
    def __init__(self, max_completed=500):
        if type(max_completed) is not int or not 1 <= max_completed <= 0xFFFFFFFF:
            raise ValueError("`max_completed` must be an integer between 1 and 4294967295")
        self.max_completed = max_completed
        self.inflight = set()
        self.completed = {}  # room_id -> OrderedDict of message ids
        self.pending = OrderedDict()  # (room_id, message_id) -> entry dict
        self.ack_retries = {}
        self.next_token = 0

    def guarded_claim(self, room_id, message_id, tracker, *, self_echo=False, durably_processed=False,
                      durably_failed=False, allow_failed_retry=True):
        _need_str(room_id=room_id, message_id=message_id)
        for fact in (self_echo, durably_processed, durably_failed, allow_failed_retry):
            if type(fact) is not bool:
                raise TypeError("delivery facts must be bool values")
        key = (room_id, message_id)
        if self_echo:
            return "self"
        if key in self.pending:
            return "pending"
        room = self.completed.get(room_id)
        remembered = room is not None and message_id in room
        if remembered:
            room.move_to_end(message_id)
        if durably_processed or remembered:
            return "completed"
        if message_id in tracker.failed:
            return "exhausted"
        if durably_failed and not allow_failed_retry:
            return "failed"
        if key in self.inflight:
            return "inflight"
        self.inflight.add(key)
        return "runnable"

    @staticmethod
    def _describe(entry):
        out = {"token": str(entry["token"]), "status": entry["status"]}
        if entry["status"] == "failed":
            out["error"] = entry["error"]
        out["parked"] = entry["parked"]
        out["continuation"] = dict(entry["continuation"])
        return out

    def record_processed_settlement(self, room_id, message_id, trace_context=None):
        _need_str(room_id=room_id, message_id=message_id)
        if trace_context is not None and type(trace_context) is not str:
            raise TypeError("argument `trace_context` must be str or None")
        key = (room_id, message_id)
        existing = self.pending.get(key)
        if existing is not None:
            if existing["status"] == "processed":
                return self._describe(existing)
            raise PayloadError([("error", "invalid_value",
                                 "the message already has a different pending terminal intent")], trace_context)
        if self.next_token == _U64_MAX:
            raise PayloadError([("token", "invalid_value", "terminal obligation token capacity exhausted")],
                               trace_context)
        entry = {"token": self.next_token, "status": "processed", "error": None, "parked": None,
                 "continuation": {"kind": "finished"}}
        self.next_token += 1
        self.pending[key] = entry
        return self._describe(entry)

    def confirm_settlement(self, room_id, message_id, token, tracker):
        _need_str(room_id=room_id, message_id=message_id, token=token)
        key = (room_id, message_id)
        entry = self.pending.get(key)
        if entry is None or str(entry["token"]) != token:
            return False
        continuation = entry["continuation"]
        if continuation["kind"] == "finished":
            if entry["status"] == "failed":
                tracker._mark_failed(message_id)
            tracker.records.pop(message_id, None)
            room = self.completed.setdefault(room_id, OrderedDict())
            room[message_id] = None
            room.move_to_end(message_id)
            while len(room) > self.max_completed:
                room.popitem(last=False)
        else:
            record = tracker.records.get(message_id)
            attempts, limit = continuation["attempts"], continuation["max_retries"]
            if record is not None:
                attempts, limit = max(attempts, record[0]), min(record[1], limit)
            tracker.records[message_id] = [attempts, limit]
            if attempts >= limit:
                tracker._mark_failed(message_id)
        del self.pending[key]
        self.ack_retries.pop(key, None)
        return True

    def release(self, room_id, message_id):
        _need_str(room_id=room_id, message_id=message_id)
        self.inflight.discard((room_id, message_id))


# ---------------------------------------------------------------------------
# Session state machine with the default reconnect policy


class Session:
    base_delay, factor, max_delay = 1.0, 2.0, 30.0
    stable_reset, rapid_uptime, rapid_window = 60.0, 10.0, 300.0
    ladder_first, ladder_second, cooldown_base, cooldown_step, cooldown_max = 1.0, 5.0, 10.0, 10.0, 60.0
    rapid_threshold = 10

    def __init__(self):
        self.state, self.dead_reason = "connecting", None
        self.next_epoch, self.attempt_epoch, self.attempt_started = 0, None, None
        self.connected_epoch, self.connected_at, self.last_event = None, None, None
        self.rapid = deque()
        self.attempts = 0

    @staticmethod
    def _time(name, value):
        if type(value) is bool or not isinstance(value, (int, float)):
            raise TypeError(f"argument `{name}` must be a number")
        value = float(value)
        if not math.isfinite(value) or value < 0:
            raise ValueError(f"`{name}` must be a finite, non-negative number, got {value}")
        return value

    @staticmethod
    def _epoch(epoch):
        if type(epoch) is not int and type(epoch) is not bool:
            raise TypeError("argument `epoch` must be int")
        if epoch < 0:
            raise ValueError(f"`epoch` must be a non-negative integer, got {epoch}")
        return epoch

    def begin_attempt(self, now_s):
        now_s = self._time("now_s", now_s)
        if self.state == "dead" or self.next_epoch == _U64_MAX:
            return None
        epoch = self.next_epoch
        self.next_epoch += 1
        self.attempt_epoch, self.attempt_started, self.last_event = epoch, now_s, None
        return epoch

    def _outcome(self, state, retry_after=None, dead=None, stale=None):
        return {"state": state, "retry_after_s": retry_after, "dead_reason": dead, "stale_reason": stale}

    def on_connected(self, epoch, now_s):
        epoch, now_s = self._epoch(epoch), self._time("now_s", now_s)
        if self.state == "dead":
            return self._outcome("dead", dead=self.dead_reason)
        if self.attempt_epoch is None or self.attempt_epoch != epoch:
            return self._outcome(self.state, stale="wrong_epoch")
        if self.connected_epoch == epoch:
            return self._outcome(self.state, stale="duplicate_connected")
        if self.last_event is not None and now_s < self.last_event:
            return self._outcome(self.state, stale="clock_regression")
        self.last_event = self.connected_at = now_s
        self.state, self.connected_epoch = "up", epoch
        return self._outcome("up")

    def on_socket_close(self, epoch, now_s, close_code, jitter_sample):
        epoch, now_s = self._epoch(epoch), self._time("now_s", now_s)
        if close_code is not None:
            _int_in("close_code", close_code, 0, 65535)
        jitter = self._time("jitter_sample", jitter_sample)
        if jitter > 1.0:
            raise ValueError(f"`jitter_sample` must be a finite number between 0.0 and 1.0, got {jitter}")
        if self.state == "dead":
            return self._outcome("dead", dead=self.dead_reason)
        if self.attempt_epoch is None or self.attempt_epoch != epoch:
            return self._outcome(self.state, stale="wrong_epoch")
        if self.last_event is not None and self.last_event > now_s:
            return self._outcome(self.state, stale="clock_regression")
        self.last_event, self.attempt_epoch, self.attempt_started = now_s, None, None
        if close_code == 1000:
            self.state, self.dead_reason = "dead", "classified"
            return self._outcome("dead", dead="classified")
        return self._retry(now_s, jitter)

    def _floor(self, count):
        if count == 1:
            return self.ladder_first
        if count == 2:
            return self.ladder_second
        return min(self.cooldown_base + (count - 3) * self.cooldown_step, self.cooldown_max)

    def _retry(self, now_s, jitter):
        window = None
        rapid = True
        if self.connected_at is not None:
            uptime = now_s - self.connected_at
            if uptime >= self.stable_reset:
                self.attempts = 0
            self.connected_at = None
            rapid = uptime < self.rapid_uptime
        if rapid:
            while self.rapid and now_s - self.rapid[0] > self.rapid_window:
                self.rapid.popleft()
            self.rapid.append(now_s)
            if len(self.rapid) >= self.rapid_threshold:
                self.state, self.dead_reason = "dead", "rapid_disconnect"
                return self._outcome("dead", dead="rapid_disconnect")
            floor = self._floor(len(self.rapid))
            window = (floor, max(floor, self.max_delay))
        self.attempts = min(self.attempts + 1, 0xFFFFFFFF)
        exponent = min(self.attempts - 1, 2147483647)
        try:
            raw = self.base_delay * self.factor ** exponent
        except OverflowError:
            raw = math.inf
        delay = min(raw, self.max_delay) * jitter
        if window is not None:
            delay = min(max(delay, window[0]), max(window[1], window[0]))
        delay = round(delay * 1e9) / 1e9
        self.state = "connecting" if self.state == "connecting" else "reconnecting"
        return self._outcome(self.state, retry_after=delay)


# ---------------------------------------------------------------------------
# Room subscriptions


def _need_ticket(ticket):
    if type(ticket) is not int and type(ticket) is not bool:
        raise TypeError("argument `ticket` must be int")
    if not 0 <= ticket <= _U64_MAX:
        raise OverflowError("ticket out of range")


class SubscriptionTracker:
    def __init__(self):
        self.pending, self.subscribed, self.leaving = {}, OrderedDict(), {}
        self.reconcile = set()
        self.counter = 0

    def _status(self, room_id):
        for name, store in (("pending", self.pending), ("subscribed", self.subscribed), ("leaving", self.leaving)):
            if room_id in store:
                return name
        return "needs_reconciliation" if room_id in self.reconcile else "absent"

    def _mint(self):
        if self.counter == _U64_MAX:
            return None
        ticket, self.counter = self.counter, self.counter + 1
        return ticket

    def begin_room_subscribe(self, room_id):
        _need_str(room_id=room_id)
        if self._status(room_id) != "absent":
            return None
        ticket = self._mint()
        if ticket is not None:
            self.pending[room_id] = ticket
        return ticket

    def record_both_room_topics_joined(self, room_id, ticket):
        _need_str(room_id=room_id)
        _need_ticket(ticket)
        if self.pending.get(room_id) != ticket:
            return "stale"
        del self.pending[room_id]
        self.subscribed[room_id] = ticket
        return "subscribed"

    def unsubscribe_room(self, room_id):
        _need_str(room_id=room_id)
        if room_id not in self.subscribed:
            return None
        ticket = self._mint()
        if ticket is not None:
            del self.subscribed[room_id]
            self.leaving[room_id] = ticket
        return ticket

    def mark_room_leave_complete(self, room_id, ticket, outcome):
        _need_str(room_id=room_id)
        _need_ticket(ticket)
        if outcome not in ("left", "failed", "unknown"):
            raise TypeError("argument `outcome` must be a LeaveOutcome")
        if self.leaving.get(room_id) != ticket:
            return False
        del self.leaving[room_id]
        if outcome != "left":
            self.reconcile.add(room_id)
        return True


# ---------------------------------------------------------------------------
# Pending asks


_MASK = _U64_MAX


class DecisionRegistry:
    def __init__(self, *, max_pending=None, seed=0):
        self.entries = OrderedDict()  # token -> [room_id, ticket, claimed]
        self.next_ticket, self.state, self.max_pending = 0, seed, max_pending

    def _draw(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & _MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
        return f"{(z ^ (z >> 31)) & 0xFFFFFFFF:08x}"

    def register_minted(self, room_id=None):
        if room_id is not None:
            _need_str(room_id=room_id)
        if self.next_ticket == _U64_MAX:
            return None
        token = self._draw()
        while token in self.entries:
            token = self._draw()
        ticket, self.next_ticket = self.next_ticket, self.next_ticket + 1
        self.entries[token] = [room_id, ticket, False]
        return token, ticket

    def _live(self, token, ticket):
        _need_str(token=token)
        _need_ticket(ticket)
        entry = self.entries.get(token)
        return entry if entry is not None and entry[1] == ticket else None

    def try_claim(self, token, ticket):
        entry = self._live(token, ticket)
        if entry is None:
            return "stale"
        if entry[2]:
            return "already_claimed"
        entry[2] = True
        return "claimed"

    def forget(self, token, ticket):
        if self._live(token, ticket) is None:
            return False
        del self.entries[token]
        return True
