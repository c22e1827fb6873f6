#include "core/turns.hpp"

namespace orvu::core {

namespace {

using E = TurnEffect;

constexpr ToolEffect kTools[] = {
    {"orvu_get_participants", E::Observe},
    {"orvu_lookup_peers", E::Observe},
    {"orvu_list_contacts", E::Observe},
    {"orvu_list_contact_requests", E::Observe},
    {"orvu_list_memories", E::Observe},
    {"orvu_get_memory", E::Observe},
    {"orvu_list_room_files", E::Observe},
    {"orvu_read_room_file", E::Observe},
    {"orvu_list_tasks", E::Observe},
    {"orvu_get_task", E::Observe},
    {"orvu_get_task_history", E::Observe},
    {"orvu_get_board", E::Observe},
    // Sending an event observes: it neither acts on the room nor answers it.
    {"orvu_send_event", E::Observe},
    {"orvu_add_participant", E::Act},
    {"orvu_remove_participant", E::Act},
    {"orvu_create_chatroom", E::Act},
    {"orvu_add_contact", E::Act},
    {"orvu_remove_contact", E::Act},
    {"orvu_respond_contact_request", E::Act},
    {"orvu_store_memory", E::Act},
    {"orvu_supersede_memory", E::Act},
    {"orvu_archive_memory", E::Act},
    {"orvu_create_task", E::Act},
    {"orvu_update_task", E::Act},
    {"orvu_set_board", E::Act},
    {"orvu_send_message", E::Reply},
    {"orvu_send_room_file", E::Reply},
    {"orvu_no_reply", E::Decline},
};

constexpr ToolParameter kNoReplyParameters[] = {
    {"reason", "Short note on why no reply is needed (kept in local logs only)", false},
};

constexpr std::string_view kNoReplyDescription =
    "End this turn without posting anything to the room.\n\n"
    "Consider every current input message together, in context. Call this instead of orvu_send_message only "
    "when the turn as a whole needs no answer from you: the inputs were addressed to someone else, are FYIs or "
    "acknowledgements, or another participant already answered them. An FYI or acknowledgement does not cancel "
    "another input's outstanding request, and a correction or cancellation is read in context. It ends the whole "
    "turn, never just one input, and is not called after you have sent a reply. A single reply may address "
    "several inputs. It is a complete turn, not an error; do not also send a message.";
static_assert(kNoReplyDescription.size() == 658);

constexpr ToolSpec kNoReplyTool{"orvu_no_reply", kNoReplyDescription, kNoReplyParameters};

constexpr std::string_view kMissingReply =
    "The agent ended its turn without replying or calling orvu_no_reply, so nothing reached the room.";
static_assert(kMissingReply.size() == 96);

}  // namespace

std::span<const ToolEffect> tool_effects() noexcept { return kTools; }

const ToolSpec& no_reply_tool() noexcept { return kNoReplyTool; }

std::string_view missing_reply_message() noexcept { return kMissingReply; }

void TurnLedger::record(TurnEffect effect) noexcept {
    switch (effect) {
        case TurnEffect::Observe:
            break;
        case TurnEffect::Act:
            turn_settled_ = true;
            break;
        case TurnEffect::Reply:
        case TurnEffect::Decline:
            turn_settled_ = true;
            reply_settled_ = true;
            break;
    }
}

}  // namespace orvu::core
