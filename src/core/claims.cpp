#include "core/claims.hpp"

#include "core/numbers.hpp"

#include <array>

namespace orvu::core {
namespace {

constexpr std::array<std::string_view, 7> kEligibilityWords = {
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
    return Settlement{*entry.token, entry.intent, entry.parked, entry.continuation};
}

}  // namespace

std::string_view eligibility_word(Eligibility e) noexcept { return kEligibilityWords[static_cast<std::size_t>(e)]; }

ClaimRegistry::ClaimRegistry(std::uint32_t max_completed, std::uint64_t next_token)
    : max_completed_(max_completed < 1 ? 1 : max_completed), next_token_(next_token) {}

// ---------------------------------------------------------------------------
// In flight

bool ClaimRegistry::try_claim(const std::string& room_id, const std::string& message_id) {
    return inflight_.emplace(room_id, message_id).second;
}

void ClaimRegistry::release(const std::string& room_id, const std::string& message_id) {
    inflight_.erase(RoomMessage{room_id, message_id});
}

std::vector<std::string> ClaimRegistry::inflight_ids(const std::string& room_id) const {
    std::vector<std::string> ids;
    for (const auto& [room, message] : inflight_) {
        if (room == room_id) ids.push_back(message);
    }
    return ids;
}

// ---------------------------------------------------------------------------
// Completed

bool ClaimRegistry::is_completed(const std::string& room_id, const std::string& message_id) {
    auto room = completed_.find(room_id);
    if (room == completed_.end()) return false;
    // A lookup protects the id from eviction just as remembering it again does.
    return room->second.move_to_back(message_id);
}

std::vector<std::string> ClaimRegistry::completed_ids(const std::string& room_id) const {
    std::vector<std::string> ids;
    auto room = completed_.find(room_id);
    if (room == completed_.end()) return ids;
    ids.reserve(room->second.size());
    room->second.for_each([&](const std::string& id) { ids.push_back(id); });
    return ids;
}

void ClaimRegistry::discard_completed(const std::string& room_id) { completed_.erase(room_id); }

void ClaimRegistry::remember_completed(const std::string& room_id, const std::string& message_id) {
    OrderedSet<std::string>& ids = completed_[room_id];
    if (!ids.move_to_back(message_id)) ids.insert_back(message_id);
    // The id just touched is the newest and max_completed >= 1, so it survives.
    while (ids.size() > max_completed_) ids.pop_front();
    RoomMessage key{room_id, message_id};
    pending_.erase(key);
    ack_retries_.erase(key);
}

// ---------------------------------------------------------------------------
// Acknowledgement-pending entries

std::optional<std::uint64_t> ClaimRegistry::mint_token() noexcept {
    // The largest value is never handed out: reaching it means the counter is spent.
    if (next_token_ == kTokenMax) return std::nullopt;
    return next_token_++;
}

bool ClaimRegistry::token_matches(const AckEntry& entry, std::string_view token) const {
    // Compared as text, so "007" or " 7" never stand for token 7.
    return entry.token && format_uint(*entry.token) == token;
}

bool ClaimRegistry::is_ack_pending(const std::string& room_id, const std::string& message_id) const {
    return pending_.contains(RoomMessage{room_id, message_id});
}

void ClaimRegistry::remember_ack_pending(const std::string& room_id, const std::string& message_id) {
    RoomMessage key{room_id, message_id};
    if (pending_.contains(key)) return;
    pending_.insert_back(std::move(key), AckEntry{mint_token(), Intent::processed(), std::nullopt,
                                                  Continuation::finished()});
}

Outcome<> ClaimRegistry::remember_failed_ack_pending(const std::string& room_id, const std::string& message_id,
                                                     const std::string& error) {
    RoomMessage key{room_id, message_id};
    Intent intent = Intent::failure(error);
    if (const AckEntry* existing = pending_.find(key)) {
        if (existing->intent == intent) return accept();
        return different_intent_issue();
    }
    pending_.insert_back(std::move(key), AckEntry{mint_token(), std::move(intent), std::nullopt,
                                                  Continuation::finished()});
    return accept();
}

const AckEntry* ClaimRegistry::pending_ack(const std::string& room_id, const std::string& message_id) const {
    return pending_.find(RoomMessage{room_id, message_id});
}

bool ClaimRegistry::park_ack(const std::string& room_id, const std::string& message_id, ParkedReason reason) {
    AckEntry* entry = pending_.find(RoomMessage{room_id, message_id});
    if (!entry) return false;
    entry->parked = reason;
    return true;
}

std::size_t ClaimRegistry::unpark_acks(const std::string& room_id) {
    std::size_t unparked = 0;
    for (auto& [key, entry] : pending_) {
        if (key.first != room_id || !entry.parked) continue;
        entry.parked.reset();
        ++unparked;
    }
    return unparked;
}

std::vector<std::string> ClaimRegistry::pending_ack_ids(const std::string& room_id) const {
    std::vector<std::string> ids;
    for (const auto& [key, entry] : pending_) {
        if (key.first == room_id) ids.push_back(key.second);
    }
    return ids;
}

std::uint32_t ClaimRegistry::record_ack_retry(const std::string& room_id, const std::string& message_id) {
    std::uint32_t& count = ack_retries_[RoomMessage{room_id, message_id}];
    count = saturating_increment(count);
    return count;
}

// ---------------------------------------------------------------------------
// Eligibility

Eligibility ClaimRegistry::delivery_eligibility(const std::string& room_id, const std::string& message_id,
                                                const RetryTracker& tracker, const DeliveryFacts& facts) {
    if (facts.self_echo) return Eligibility::Self;
    if (is_ack_pending(room_id, message_id)) return Eligibility::Pending;
    // The lookup runs (and touches) even when the platform already says processed.
    bool remembered = is_completed(room_id, message_id);
    if (facts.durably_processed || remembered) return Eligibility::Completed;
    if (tracker.is_permanently_failed(message_id)) return Eligibility::Exhausted;
    if (facts.durably_failed && !facts.allow_failed_retry) return Eligibility::Failed;
    if (inflight_.contains(RoomMessage{room_id, message_id})) return Eligibility::Inflight;
    return Eligibility::Runnable;
}

Eligibility ClaimRegistry::guarded_claim(const std::string& room_id, const std::string& message_id,
                                         const RetryTracker& tracker, const DeliveryFacts& facts) {
    Eligibility word = delivery_eligibility(room_id, message_id, tracker, facts);
    if (word == Eligibility::Runnable) inflight_.emplace(room_id, message_id);
    return word;
}

// ---------------------------------------------------------------------------
// Settlement

SettlementResult ClaimRegistry::record_settlement(const std::string& room_id, const std::string& message_id,
                                                  Intent intent, Continuation continuation) {
    RoomMessage key{room_id, message_id};
    if (const AckEntry* existing = pending_.find(key)) {
        // The same write recorded again: the entry as it stands, new continuation dropped.
        if (existing->intent == intent) return describe(*existing);
        return different_intent_issue();
    }
    std::optional<std::uint64_t> token = mint_token();
    if (!token) return token_exhausted_issue();
    AckEntry entry{token, std::move(intent), std::nullopt, continuation};
    SettlementResult result = describe(entry);
    pending_.insert_back(std::move(key), std::move(entry));
    return result;
}

SettlementResult ClaimRegistry::record_processed_settlement(const std::string& room_id,
                                                            const std::string& message_id) {
    return record_settlement(room_id, message_id, Intent::processed(), Continuation::finished());
}

SettlementResult ClaimRegistry::record_failed_settlement(const std::string& room_id, const std::string& message_id,
                                                         const std::string& error, const RetryTracker& tracker,
                                                         bool allow_retry) {
    AttemptBudget budget = tracker.budget(message_id);
    Continuation continuation = Continuation::finished();
    // A retry is owed only while the attempts made are below the limit.
    if (allow_retry && budget.attempts < budget.limit) continuation = {true, budget.attempts, budget.limit};
    return record_settlement(room_id, message_id, Intent::failure(error), continuation);
}

SettlementLookup ClaimRegistry::pending_settlement(const std::string& room_id, const std::string& message_id) const {
    const AckEntry* entry = pending_.find(RoomMessage{room_id, message_id});
    if (!entry) return std::optional<Settlement>();
    SettlementResult result = describe(*entry);
    if (!result.ok()) return result.refusal();
    return std::optional<Settlement>(std::move(result).value());
}

bool ClaimRegistry::confirm_settlement(const std::string& room_id, const std::string& message_id,
                                       std::string_view token, RetryTracker& tracker) {
    RoomMessage key{room_id, message_id};
    const AckEntry* entry = pending_.find(key);
    if (!entry || !token_matches(*entry, token)) return false;
    if (!entry->continuation.retry) {
        if (entry->intent.failed) tracker.mark_permanently_failed(message_id);
        tracker.mark_success(message_id);
        remember_completed(room_id, message_id);  // also drops the entry and the retry count
        return true;
    }
    tracker.confirm_retry(message_id, entry->continuation.attempts, entry->continuation.max_retries);
    pending_.erase(key);
    ack_retries_.erase(key);
    return true;
}

bool ClaimRegistry::park_settlement(const std::string& room_id, const std::string& message_id,
                                    std::string_view token, ParkedReason reason) {
    AckEntry* entry = pending_.find(RoomMessage{room_id, message_id});
    if (!entry || !token_matches(*entry, token)) return false;
    entry->parked = reason;
    return true;
}

bool ClaimRegistry::has_retryable_settlement(const std::string& room_id) const {
    for (const auto& [key, entry] : pending_) {
        if (key.first == room_id && !entry.parked) return true;
    }
    return false;
}

}  // namespace orvu::core
