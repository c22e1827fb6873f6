// The host's delivery-loop decisions around one room: one step of the drain
// loop, the acknowledgement decision for an adapter outcome, and the check
// of a triggering message against the room's next open message. All three
// are pure; the binding turns the results into dicts.
#pragma once

#include "core/json.hpp"
#include "core/refusal.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvu::core {

// ---------------------------------------------------------------------------
// Drain step.

enum class DrainDecision : std::uint8_t { NoCandidate, SelfEcho, Drain, OutOfSnapshot };

std::string_view wire_of(DrainDecision decision) noexcept;

// The three fields a drain candidate must carry. The views point into the
// JsonValue the candidate was read from, which must outlive them.
struct DrainCandidate {
    std::string_view id;
    std::string_view sender_id;
    std::string_view sender_type;
};

// Reads the candidate's fields. The first of id, sender_id, sender_type that
// is absent or not a string (a value that is not an object has none) is
// refused as a wrong shape: "candidate.{key} must be a string".
Outcome<DrainCandidate> read_drain_candidate(const JsonValue& candidate);

// A drain step's answer: the decision, and the id of the candidate it is
// about (none when there is no candidate).
struct DrainStep {
    DrainDecision decision;
    std::optional<std::string_view> message_id;
};

// `id_in_snapshot` says whether the candidate's id is among the ids the
// drain may consume. An echo of the agent's own message is reported as such
// whether or not its id is in the snapshot.
DrainStep decide_drain(const DrainCandidate* candidate, std::string_view agent_id, bool id_in_snapshot) noexcept;

// ---------------------------------------------------------------------------
// Adapter outcome -> acknowledgement.

enum class AdapterDecision : std::uint8_t { Processed, Failed };

std::string_view wire_of(AdapterDecision decision) noexcept;

constexpr AdapterDecision decide_adapter(bool succeeded) noexcept {
    return succeeded ? AdapterDecision::Processed : AdapterDecision::Failed;
}

// ---------------------------------------------------------------------------
// Triggering message against the room's next open message.

enum class NextMessageDecision : std::uint8_t { NoPending, ReadyToClaim, AlreadyProcessed };

std::string_view wire_of(NextMessageDecision decision) noexcept;

// The answer: the decision, and the next open message's id when it is
// another message than the triggering one (the one already processed).
struct NextMessageStep {
    NextMessageDecision decision;
    std::optional<std::string_view> next_open_id;
};

// `next_message_id` is absent when the platform reports no open message.
NextMessageStep decide_next_message(std::string_view triggering_message_id,
                                    std::optional<std::string_view> next_message_id) noexcept;

}  // namespace orvu::core
