"""Writes the payload seeds of the `payloads` fuzz target from the test suite.

Every minimal valid payload of tests/test_events.py (and an empty object for
each of its event types), a few payloads of its edge cases, and the payload
specimens of tests/specimens.py (when it has any) that JSON can spell become
one seed each: the event name, a
line break, the payload as JSON text. Run from the repository root with an
interpreter that imports orvu_sdk_core (the test modules import it):

    python fuzz/seed_payloads.py fuzz/corpus/payloads
"""

import hashlib
import json
import math
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import specimens  # noqa: E402
import test_events  # noqa: E402


def spellable(value):
    """Whether JSON text can carry the value as the host would hand it over."""
    if isinstance(value, float):
        return math.isfinite(value)
    if isinstance(value, int) and not isinstance(value, bool):
        return -2**63 <= value < 2**64
    if isinstance(value, (list, tuple)):
        return all(spellable(v) for v in value)
    if isinstance(value, dict):
        return all(isinstance(k, str) and spellable(v) for k, v in value.items())
    return value is None or isinstance(value, (bool, str))


def seeds():
    for event, (payload, _rules) in test_events.SCHEMAS.items():
        yield event, payload
        yield event, {}
    yield "message_created", {**test_events.MESSAGE, "metadata": {"mentions": ["x", {"handle": None}]}}
    yield "supersede", {**test_events.SUPERSEDE, "retry_after": 30.0, "retryable": True}
    yield "event_created", [1, {"b": 2, "a": 1}]
    yield "agent.control", {**test_events.CONTROL, "mode": "pause"}
    yield "unknown_event", {}
    for event, payload in getattr(specimens, "PAYLOADS", {}).items():
        yield event, payload


def main(out):
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    for event, payload in seeds():
        if not spellable(payload):
            continue
        text = (event + "\n" + json.dumps(payload, ensure_ascii=False)).encode("utf-8", "surrogatepass")
        (out / ("seed-" + hashlib.sha1(text).hexdigest())).write_bytes(text)


if __name__ == "__main__":
    main(sys.argv[1])
