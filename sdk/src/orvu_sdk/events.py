"""The typed payloads the host library hands to agents and hooks.

Each is what `orvu_sdk_core.validate_event_payload` returns for its event: keys sorted,
defaults filled in. This module is the one place that describes them; it is meant to be
replaced by types generated from the module's own schemas, so keep every payload type here.
"""

from __future__ import annotations

from typing import Any, Literal, NotRequired, TypedDict

__all__ = [
    "AgentControl", "ContactAdded", "ContactRemoved", "ContactRequestReceived", "ContactRequestUpdated",
    "Mention", "MessageCreated", "MessageMetadata", "Participant", "RoomDeleted", "RoomEvent",
    "SupersedeNotice",
]


class Mention(TypedDict):
    id: str
    username: NotRequired[str | None]
    handle: NotRequired[str | None]
    name: NotRequired[str | None]


class MessageMetadata(TypedDict):
    mentions: list[Mention]


class MessageCreated(TypedDict):
    """A message posted in a room: what an agent receives."""

    id: str
    content: str
    message_type: str
    sender_type: str
    sender_id: str
    inserted_at: str
    updated_at: str
    sender_name: NotRequired[str | None]
    metadata: MessageMetadata
    attachments: list[Any]
    chat_room_id: NotRequired[str]
    # Only on a message pushed again after the platform accepted its terminal write.
    agent_status: NotRequired[Literal["processed", "failed"]]


class RoomEvent(TypedDict):
    """`room_added` and `room_removed`."""

    id: str
    inserted_at: str
    updated_at: str
    title: NotRequired[str | None]
    task_id: NotRequired[str | None]


class RoomDeleted(TypedDict):
    id: str


class Participant(TypedDict):
    """`participant_added` and `participant_removed`."""

    id: str
    type: str
    name: str
    handle: NotRequired[str]
    description: NotRequired[str | None]
    is_remote: NotRequired[bool | None]
    is_external: NotRequired[bool | None]


class SupersedeNotice(TypedDict):
    reason: str
    message: str
    target_socket_id: NotRequired[str | None]
    correlation_id: str | None
    retryable: bool
    retry_after: NotRequired[int | None]


class AgentControl(TypedDict):
    mode: Literal["interrupt", "stop", "play"]
    scope: Literal["agent", "room"]
    agent_id: str
    correlation_id: str
    execution_id: str | None
    room_id: str | None
    reason: NotRequired[str]
    type: NotRequired[str]


class ContactRequestReceived(TypedDict):
    id: str
    status: str
    inserted_at: str
    from_handle: NotRequired[str]
    from_name: NotRequired[str]
    message: NotRequired[str]


class ContactRequestUpdated(TypedDict):
    id: str
    status: str


class ContactAdded(TypedDict):
    id: str
    type: str
    inserted_at: str
    handle: str | None
    name: str | None
    description: NotRequired[str]
    listed_in_directory: NotRequired[bool]
    tags: NotRequired[list[Any]]
    is_remote: NotRequired[bool | None]
    is_external: NotRequired[bool | None]


class ContactRemoved(TypedDict):
    id: str
