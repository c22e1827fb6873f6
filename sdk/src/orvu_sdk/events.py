"""The typed payloads the host library hands to agents and hooks.

Each is what `orvu_sdk_core.validate_event_payload` returns for its event: keys sorted,
defaults filled in, keys the schema does not know passed through. The types are the ones the
module's stubs generate from its own field rules; this module only names them for hosts and
adds the two keys the platform sends beside a message's schema.

They exist for type checkers: at run time every payload is a plain `dict`, and so is each
name here.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal, NotRequired

__all__ = [
    "AgentControl", "ContactAdded", "ContactRemoved", "ContactRequestReceived", "ContactRequestUpdated",
    "Mention", "MessageCreated", "MessageMetadata", "Participant", "RoomDeleted", "RoomEvent",
    "SupersedeNotice",
]

if TYPE_CHECKING:
    from orvu_sdk_core import (
        AgentControlPayload as AgentControl,
        ContactAddedPayload as ContactAdded,
        ContactRequestReceivedPayload as ContactRequestReceived,
        ContactRequestUpdatedPayload as ContactRequestUpdated,
        MessageMetadata as MessageMetadata,
        MessageMetadataMentionsItem as Mention,
        MessagePayload,
        ParticipantPayload as Participant,
        RoomDeletedPayload as ContactRemoved,
        RoomDeletedPayload as RoomDeleted,
        RoomPayload as RoomEvent,
        SupersedePayload as SupersedeNotice,
    )

    # Never executed: the stubs mark their payload types as existing for type checkers only.
    class MessageCreated(MessagePayload):  # pyright: ignore[reportGeneralTypeIssues]
        """A message posted in a room: what an agent receives."""

        chat_room_id: NotRequired[str]
        # Only on a message pushed again after the platform accepted its terminal write.
        agent_status: NotRequired[Literal["processed", "failed"]]
else:
    AgentControl = ContactAdded = ContactRemoved = ContactRequestReceived = ContactRequestUpdated = dict
    Mention = MessageCreated = MessageMetadata = Participant = RoomDeleted = RoomEvent = SupersedeNotice = dict
