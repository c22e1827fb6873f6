"""Logging under stable event names, with secrets kept out of every line.

Each line the library logs starts with its event name (for example "turn.failed"), followed
by `key=value` fields; the record carries the name as `record.orvu_event` and the fields as
`record.orvu_fields`, for handlers that want structure. Connection parameters (the agent's
token) are registered as secrets: a filter on every logger of the library, the transport's
included, replaces them in the formatted message before any handler sees it.
"""

from __future__ import annotations

import logging
import threading
from typing import Any

LOGGER = logging.getLogger("orvu_sdk")
TRANSPORT_LOGGER = logging.getLogger("orvu_sdk.transport")
REDACTED = "***"

_secrets: set[str] = set()
_lock = threading.Lock()


def add_secret(value: str) -> None:
    """Never log `value` again (values shorter than 4 characters are too common to hide)."""
    if len(value) >= 4:
        with _lock:
            _secrets.add(value)


def redact(text: str) -> str:
    with _lock:
        secrets = sorted(_secrets, key=len, reverse=True)
    for secret in secrets:
        if secret in text:
            text = text.replace(secret, REDACTED)
    return text


class _RedactingFilter(logging.Filter):
    def filter(self, record: logging.LogRecord) -> bool:
        try:
            message = record.getMessage()
        except Exception:  # a malformed record is the caller's; it passes as it is
            return True
        cleaned = redact(message)
        if cleaned != message or record.args:
            record.msg, record.args = cleaned, None
        return True


for _logger in (LOGGER, TRANSPORT_LOGGER):
    _logger.addFilter(_RedactingFilter())
# A library leaves output to the application: nothing is printed unless it configures logging.
LOGGER.addHandler(logging.NullHandler())


def emit(logger: logging.Logger, level: int, event: str, **fields: Any) -> None:
    """Logs `event` with its fields on one line."""
    if not logger.isEnabledFor(level):
        return
    text = " ".join([event, *(f"{key}={value}" for key, value in fields.items())])
    logger.log(level, "%s", text, extra={"orvu_event": event, "orvu_fields": fields})
