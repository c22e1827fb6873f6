#include "core/decisions.hpp"

#include "core/self_echo.hpp"

#include <array>
#include <string>

namespace orvu::core {
namespace {

// Wire strings indexed by the decision's enumerator.
constexpr std::array<std::string_view, 4> kDrainWire{"no_candidate", "self_echo", "drain", "out_of_snapshot"};
constexpr std::array<std::string_view, 2> kAdapterWire{"processed", "failed"};
constexpr std::array<std::string_view, 3> kNextMessageWire{"no_pending", "ready_to_claim", "already_processed"};

// The fields a candidate must carry, in the order they are checked.
constexpr std::array<std::string_view, 3> kCandidateFields{"id", "sender_id", "sender_type"};

}  // namespace

std::string_view wire_of(DrainDecision decision) noexcept { return kDrainWire[static_cast<std::size_t>(decision)]; }

std::string_view wire_of(AdapterDecision decision) noexcept {
    return kAdapterWire[static_cast<std::size_t>(decision)];
}

std::string_view wire_of(NextMessageDecision decision) noexcept {
    return kNextMessageWire[static_cast<std::size_t>(decision)];
}

Outcome<DrainCandidate> read_drain_candidate(const JsonValue& candidate) {
    std::array<std::string_view, kCandidateFields.size()> values;
    for (std::size_t i = 0; i < kCandidateFields.size(); ++i) {
        const JsonValue* field = candidate.find(kCandidateFields[i]);
        if (!field || !field->is_string()) {
            return Refusal::type("candidate." + std::string(kCandidateFields[i]) + " must be a string");
        }
        values[i] = field->as_string();
    }
    return DrainCandidate{values[0], values[1], values[2]};
}

DrainStep decide_drain(const DrainCandidate* candidate, std::string_view agent_id, bool id_in_snapshot) noexcept {
    if (!candidate) return {DrainDecision::NoCandidate, std::nullopt};
    if (is_self_echo(candidate->sender_id, candidate->sender_type, agent_id)) {
        return {DrainDecision::SelfEcho, candidate->id};
    }
    return {id_in_snapshot ? DrainDecision::Drain : DrainDecision::OutOfSnapshot, candidate->id};
}

NextMessageStep decide_next_message(std::string_view triggering_message_id,
                                    std::optional<std::string_view> next_message_id) noexcept {
    if (!next_message_id) return {NextMessageDecision::NoPending, std::nullopt};
    if (*next_message_id == triggering_message_id) return {NextMessageDecision::ReadyToClaim, std::nullopt};
    return {NextMessageDecision::AlreadyProcessed, next_message_id};
}

}  // namespace orvu::core
