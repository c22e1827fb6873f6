#include "core/claims.hpp"

#include <array>

namespace orvu::core {
namespace {

constexpr std::array<std::string_view, kEligibilityCount> kEligibilityWords = {
    "self", "completed", "pending", "inflight", "exhausted", "failed", "runnable",
};

Refusal different_intent_issue() {
    return Refusal::validation(
        {{"error", "the message already has a different pending terminal intent", IssueCode::InvalidValue}});
}

Refusal token_exhausted_issue() {
    return Refusal::validation({{"token", "terminal obligation token capacity exhausted", IssueCode::InvalidValue}});
}

// The host only ever sees entries that carry a token.
SettlementResult describe(const AckEntry& entry) {
    if (!entry.token) return token_exhausted_issue();
    return Settlement{*entry.token, entry};
}

}  // namespace

std::string_view eligibility_word(Eligibility e) noexcept { return kEligibilityWords[static_cast<std::size_t>(e)]; }

ORVU_ALWAYS_INLINE ClaimRegistry::Spot ClaimRegistry::locate(std::string_view room_id,
                                                          std::string_view message_id) noexcept {
    const std::uint64_t hash = Messages::hash(message_id);
    RoomLedger* ledger = room(room_id);
    return {ledger, ledger ? ledger->messages.locate(message_id, hash) : Messages::Handle(), hash};
}

template <class Change>
auto ClaimRegistry::change_room(std::string_view room_id, RoomLedger* ledger, Change&& change) {
    const bool created = ledger == nullptr;
    if (created) ledger = rooms_.try_insert_back(room_id, RoomLedger(max_completed_)).first;
    try {
        return change(*ledger);
    } catch (...) {
        if (created) rooms_.erase(room_id);
        throw;
    }
}

ORVU_ALWAYS_INLINE ClaimRegistry::MessageState& ClaimRegistry::state_in(RoomLedger& ledger, std::string_view message_id,
                                                                        const Spot& spot) {
    // A ledger created for this change is empty, and `spot.at` then a false handle from no table.
    if (spot.at) return ledger.messages.value(spot.at);
    return ledger.messages.insert_at(spot.at, message_id, spot.hash, MessageState{});
}

ORVU_ALWAYS_INLINE void ClaimRegistry::drop_if_unused(std::string_view room_id, const Spot& spot) noexcept {
    if (!spot.state()->unused()) return;
    spot.ledger->messages.erase(spot.at);
    if (spot.ledger->unused()) rooms_.erase(room_id);
}

// ---------------------------------------------------------------------------
// In flight

bool ClaimRegistry::try_claim(std::string_view room_id, std::string_view message_id) {
    const Spot spot = locate(room_id, message_id);
    if (const MessageState* state = spot.state(); state && state->claimed) return false;
    change_room(room_id, spot.ledger,
                [&](RoomLedger& ledger) { state_in(ledger, message_id, spot).claimed = true; });
    return true;
}

void ClaimRegistry::release(std::string_view room_id, std::string_view message_id) {
    const Spot spot = locate(room_id, message_id);
    MessageState* state = spot.state();
    if (!state || !state->claimed) return;
    state->claimed = false;
    drop_if_unused(room_id, spot);
}

std::vector<std::string> ClaimRegistry::inflight_ids(std::string_view room_id) const {
    std::vector<std::string> ids;
    const RoomLedger* ledger = room(room_id);
    if (!ledger) return ids;
    for (const auto& [message_id, state] : ledger->messages) {
        if (state.claimed) ids.emplace_back(message_id);
    }
    return ids;
}

// ---------------------------------------------------------------------------
// Completed

bool ClaimRegistry::is_completed(std::string_view room_id, std::string_view message_id) {
    RoomLedger* ledger = room(room_id);
    // A lookup protects the id from eviction just as remembering it again does.
    return ledger && ledger->completed.move_to_back(message_id);
}

std::vector<std::string> ClaimRegistry::completed_ids(std::string_view room_id) const {
    std::vector<std::string> ids;
    const RoomLedger* ledger = room(room_id);
    if (!ledger) return ids;
    ids.reserve(ledger->completed.size());
    ledger->completed.for_each([&](const Text& id) { ids.emplace_back(id); });
    return ids;
}

void ClaimRegistry::discard_completed(std::string_view room_id) {
    RoomLedger* ledger = room(room_id);
    if (!ledger) return;
    ledger->completed.clear();
    if (ledger->unused()) rooms_.erase(room_id);
}

void ClaimRegistry::remember_completed(std::string_view room_id, std::string_view message_id) {
    const Spot spot = locate(room_id, message_id);
    change_room(room_id, spot.ledger, [&](RoomLedger& ledger) {
        complete(Spot{&ledger, spot.at, spot.hash}, room_id, message_id);
    });
}

void ClaimRegistry::complete(const Spot& spot, std::string_view room_id, std::string_view message_id) {
    OrderedSet<Text>& ids = spot.ledger->completed;
    ids.touch_back(message_id, spot.hash);
    // The id just touched is the newest and max_completed >= 1, so it survives.
    while (ids.size() > max_completed_) ids.drop_front();
    if (MessageState* state = spot.state()) {
        state->pending.reset();
        state->ack_retries = 0;
        drop_if_unused(room_id, spot);
    }
}

// ---------------------------------------------------------------------------
// Acknowledgement-pending entries

bool ClaimRegistry::token_matches(const AckEntry& entry, std::string_view token) const {
    // Compared as text: only the token's own decimal digits stand for it,
    // never "007", "+7" or " 7".
    if (!entry.token || token.empty() || (token.size() > 1 && token[0] == '0')) return false;
    // Beyond 64 bits (digit strings of one length order as their numbers).
    constexpr std::string_view kLargest = "18446744073709551615";
    if (token.size() > kLargest.size() || (token.size() == kLargest.size() && token > kLargest)) return false;
    std::uint64_t value = 0;
    for (const char c : token) {
        const auto digit = static_cast<unsigned>(c - '0');
        if (digit > 9) return false;
        value = value * 10 + digit;
    }
    return value == *entry.token;
}

AckEntry& ClaimRegistry::store_pending(RoomLedger& ledger, std::string_view message_id, const Spot& spot,
                                       Intent intent, Continuation continuation) {
    MessageState& state = state_in(ledger, message_id, spot);
    // A message that gets an entry goes to the newest end (a new one already is there).
    if (spot.at) ledger.messages.move_to_back(spot.at);
    // The entry is in place before its token is taken, so that a failed
    // insertion leaves the counter where it was.
    state.pending.emplace(AckEntry{std::nullopt, std::move(intent), std::nullopt, continuation});
    state.pending->token = tokens_.take();
    return *state.pending;
}

bool ClaimRegistry::is_ack_pending(std::string_view room_id, std::string_view message_id) const {
    return pending_ack(room_id, message_id) != nullptr;
}

void ClaimRegistry::remember_ack_pending(std::string_view room_id, std::string_view message_id) {
    const Spot spot = locate(room_id, message_id);
    if (spot.pending()) return;
    change_room(room_id, spot.ledger, [&](RoomLedger& ledger) {
        store_pending(ledger, message_id, spot, Intent::processed(), Continuation::finished());
    });
}

Outcome<> ClaimRegistry::remember_failed_ack_pending(std::string_view room_id, std::string_view message_id,
                                                     std::string_view error) {
    Intent intent = Intent::failure(error);
    const Spot spot = locate(room_id, message_id);
    if (const AckEntry* existing = spot.pending()) {
        if (existing->intent == intent) return accept();
        return different_intent_issue();
    }
    change_room(room_id, spot.ledger, [&](RoomLedger& ledger) {
        store_pending(ledger, message_id, spot, std::move(intent), Continuation::finished());
    });
    return accept();
}

const AckEntry* ClaimRegistry::pending_ack(std::string_view room_id, std::string_view message_id) const {
    const RoomLedger* ledger = room(room_id);
    const MessageState* state = ledger ? ledger->messages.find(message_id) : nullptr;
    return state && state->pending ? &*state->pending : nullptr;
}

bool ClaimRegistry::park_ack(std::string_view room_id, std::string_view message_id, ParkedReason reason) {
    AckEntry* entry = locate(room_id, message_id).pending();
    if (!entry) return false;
    entry->parked = reason;
    return true;
}

std::size_t ClaimRegistry::unpark_acks(std::string_view room_id) {
    RoomLedger* ledger = room(room_id);
    if (!ledger) return 0;
    std::size_t unparked = 0;
    for (auto& [message_id, state] : ledger->messages) {
        if (!state.pending || !state.pending->parked) continue;
        state.pending->parked.reset();
        ++unparked;
    }
    return unparked;
}

std::vector<std::string> ClaimRegistry::pending_ack_ids(std::string_view room_id) const {
    std::vector<std::string> ids;
    const RoomLedger* ledger = room(room_id);
    if (!ledger) return ids;
    for (const auto& [message_id, state] : ledger->messages) {
        if (state.pending) ids.emplace_back(message_id);
    }
    return ids;
}

std::uint32_t ClaimRegistry::record_ack_retry(std::string_view room_id, std::string_view message_id) {
    const Spot spot = locate(room_id, message_id);
    return change_room(room_id, spot.ledger, [&](RoomLedger& ledger) {
        Saturating<std::uint32_t>& count = state_in(ledger, message_id, spot).ack_retries;
        count.advance();
        return std::uint32_t{count};
    });
}

// ---------------------------------------------------------------------------
// Eligibility

Eligibility ClaimRegistry::delivery_eligibility(std::string_view room_id, std::string_view message_id,
                                                const RetryTracker& tracker, const DeliveryFacts& facts) {
    return eligibility_in(locate(room_id, message_id), message_id, tracker, facts);
}

Eligibility ClaimRegistry::eligibility_in(const Spot& spot, std::string_view message_id,
                                          const RetryTracker& tracker, const DeliveryFacts& facts) {
    if (facts.self_echo) return Eligibility::Self;
    const MessageState* state = spot.state();
    if (state && state->pending) return Eligibility::Pending;
    // The lookup runs (and touches) even when the platform already says processed.
    const bool remembered = spot.ledger && spot.ledger->completed.move_to_back(message_id, spot.hash);
    if (facts.durably_processed || remembered) return Eligibility::Completed;
    if (tracker.is_permanently_failed(message_id, spot.hash)) return Eligibility::Exhausted;
    if (facts.durably_failed && !facts.allow_failed_retry) return Eligibility::Failed;
    if (state && state->claimed) return Eligibility::Inflight;
    return Eligibility::Runnable;
}

Eligibility ClaimRegistry::guarded_claim(std::string_view room_id, std::string_view message_id,
                                         const RetryTracker& tracker, const DeliveryFacts& facts) {
    const Spot spot = locate(room_id, message_id);
    const Eligibility word = eligibility_in(spot, message_id, tracker, facts);
    if (word == Eligibility::Runnable) {
        change_room(room_id, spot.ledger,
                    [&](RoomLedger& ledger) { state_in(ledger, message_id, spot).claimed = true; });
    }
    return word;
}

Outcome<> set_delivery_fact(DeliveryFacts& facts, std::string_view name, bool value) {
    std::string known;
    for (const auto& [fact, member] : kDeliveryFactKeys) {
        if (fact == name) {
            facts.*member = value;
            return accept();
        }
        known += std::string(known.empty() ? "" : ", ") + "`" + std::string(fact) + "`";
    }
    return Refusal::type("unknown field `" + std::string(name) + "`, expected one of " + known);
}

// ---------------------------------------------------------------------------
// Settlement

SettlementResult ClaimRegistry::record_settlement(const Spot& spot, std::string_view room_id,
                                                  std::string_view message_id, Intent intent,
                                                  Continuation continuation) {
    if (const AckEntry* existing = spot.pending()) {
        // The same write recorded again: the entry as it stands, new continuation dropped.
        if (existing->intent == intent) return describe(*existing);
        return different_intent_issue();
    }
    if (tokens_.exhausted()) return token_exhausted_issue();  // nothing is stored
    return change_room(room_id, spot.ledger, [&](RoomLedger& ledger) {
        return describe(store_pending(ledger, message_id, spot, std::move(intent), continuation));
    });
}

SettlementResult ClaimRegistry::record_processed_settlement(std::string_view room_id, std::string_view message_id) {
    return record_settlement(locate(room_id, message_id), room_id, message_id, Intent::processed(),
                             Continuation::finished());
}

SettlementResult ClaimRegistry::record_failed_settlement(std::string_view room_id, std::string_view message_id,
                                                         std::string_view error, const RetryTracker& tracker,
                                                         bool allow_retry) {
    const Spot spot = locate(room_id, message_id);
    const AttemptBudget budget = tracker.budget(message_id, spot.hash);
    Continuation continuation = Continuation::finished();
    // A retry is owed only while the attempts made are below the limit.
    if (allow_retry && budget.attempts < budget.limit) continuation = {true, budget.attempts, budget.limit};
    return record_settlement(spot, room_id, message_id, Intent::failure(error), continuation);
}

SettlementLookup ClaimRegistry::pending_settlement(std::string_view room_id, std::string_view message_id) const {
    const AckEntry* entry = pending_ack(room_id, message_id);
    if (!entry) return std::optional<Settlement>();
    SettlementResult result = describe(*entry);
    if (!result.ok()) return result.refusal();
    return std::optional<Settlement>(std::move(result).value());
}

bool ClaimRegistry::confirm_settlement(std::string_view room_id, std::string_view message_id,
                                       std::string_view token, RetryTracker& tracker) {
    const Spot spot = locate(room_id, message_id);
    const AckEntry* entry = spot.pending();
    if (!entry || !token_matches(*entry, token)) return false;
    if (!entry->continuation.retry) {
        tracker.confirm_finished(message_id, entry->intent.failed(), spot.hash);
        complete(spot, room_id, message_id);  // also drops the entry and the retry count
        return true;
    }
    tracker.confirm_retry(message_id, entry->continuation.attempts, entry->continuation.max_retries, spot.hash);
    MessageState* state = spot.state();
    state->pending.reset();
    state->ack_retries = 0;
    drop_if_unused(room_id, spot);
    return true;
}

bool ClaimRegistry::park_settlement(std::string_view room_id, std::string_view message_id,
                                    std::string_view token, ParkedReason reason) {
    AckEntry* entry = locate(room_id, message_id).pending();
    if (!entry || !token_matches(*entry, token)) return false;
    entry->parked = reason;
    return true;
}

bool ClaimRegistry::has_retryable_settlement(std::string_view room_id) const {
    const RoomLedger* ledger = room(room_id);
    if (!ledger) return false;
    for (const auto& [message_id, state] : ledger->messages) {
        if (state.pending && !state.pending->parked) return true;
    }
    return false;
}

}  // namespace orvu::core
