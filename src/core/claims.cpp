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
    return Settlement{*entry.token, entry.intent, entry.parked, entry.continuation};
}

}  // namespace

std::string_view eligibility_word(Eligibility e) noexcept { return kEligibilityWords[static_cast<std::size_t>(e)]; }

ClaimRegistry::ClaimRegistry(std::uint32_t max_completed, std::uint64_t next_token)
    : max_completed_(max_completed), next_token_(next_token) {}

template <class Change>
auto ClaimRegistry::change_room(std::string_view room_id, Change&& change) {
    return change_room(room_id, room(room_id), std::forward<Change>(change));
}

template <class Change>
auto ClaimRegistry::change_room(std::string_view room_id, RoomLedger* ledger, Change&& change) {
    const bool created = ledger == nullptr;
    if (created) ledger = rooms_.try_insert_back(room_id, RoomLedger{}).first;
    try {
        return change(*ledger);
    } catch (...) {
        if (created) rooms_.erase(room_id);
        throw;
    }
}

void ClaimRegistry::drop_if_unused(std::string_view room_id, const RoomLedger& ledger) noexcept {
    if (!ledger.unused()) return;
    rooms_.erase(room_id);
}

namespace {

template <class Rooms, class Count>
std::size_t sum_over_rooms(const Rooms& rooms, Count count) noexcept {
    std::size_t total = 0;
    for (const auto& [room_id, ledger] : rooms) total += count(ledger);
    return total;
}

}  // namespace

std::size_t ClaimRegistry::inflight_count() const noexcept {
    return sum_over_rooms(rooms_, [](const RoomLedger& l) { return l.inflight.size(); });
}

std::size_t ClaimRegistry::pending_count() const noexcept {
    return sum_over_rooms(rooms_, [](const RoomLedger& l) { return l.pending.size(); });
}

std::size_t ClaimRegistry::ack_retry_count_size() const noexcept {
    return sum_over_rooms(rooms_, [](const RoomLedger& l) { return l.ack_retries.size(); });
}

std::size_t ClaimRegistry::completed_room_count() const noexcept {
    return sum_over_rooms(rooms_, [](const RoomLedger& l) -> std::size_t { return l.completed.empty() ? 0 : 1; });
}

// ---------------------------------------------------------------------------
// In flight

bool ClaimRegistry::try_claim(std::string_view room_id, const HashedKey& message_id) {
    return change_room(room_id, [&](RoomLedger& ledger) { return ledger.inflight.insert_back(message_id); });
}

void ClaimRegistry::release(std::string_view room_id, const HashedKey& message_id) {
    RoomLedger* ledger = room(room_id);
    if (!ledger || !ledger->inflight.erase(message_id)) return;
    drop_if_unused(room_id, *ledger);
}

std::vector<std::string> ClaimRegistry::inflight_ids(std::string_view room_id) const {
    std::vector<std::string> ids;
    const RoomLedger* ledger = room(room_id);
    if (!ledger) return ids;
    ids.reserve(ledger->inflight.size());
    ledger->inflight.for_each([&](const std::string& id) { ids.push_back(id); });
    return ids;
}

// ---------------------------------------------------------------------------
// Completed

bool ClaimRegistry::is_completed(std::string_view room_id, const HashedKey& message_id) {
    RoomLedger* ledger = room(room_id);
    // A lookup protects the id from eviction just as remembering it again does.
    return ledger && ledger->completed.move_to_back(message_id);
}

std::vector<std::string> ClaimRegistry::completed_ids(std::string_view room_id) const {
    std::vector<std::string> ids;
    const RoomLedger* ledger = room(room_id);
    if (!ledger) return ids;
    ids.reserve(ledger->completed.size());
    ledger->completed.for_each([&](const std::string& id) { ids.push_back(id); });
    return ids;
}

void ClaimRegistry::discard_completed(std::string_view room_id) {
    RoomLedger* ledger = room(room_id);
    if (!ledger) return;
    ledger->completed.clear();
    drop_if_unused(room_id, *ledger);
}

void ClaimRegistry::remember_completed(std::string_view room_id, const HashedKey& message_id) {
    change_room(room_id,
                [&](RoomLedger& ledger) { complete_in(ledger, message_id, ledger.pending.locate(message_id)); });
}

void ClaimRegistry::complete_in(RoomLedger& ledger, const HashedKey& message_id, PendingAt pending_at) {
    OrderedSet<std::string>& ids = ledger.completed;
    ids.touch_back(message_id);
    // The id just touched is the newest and max_completed >= 1, so it survives.
    while (ids.size() > max_completed_) ids.drop_front();
    if (pending_at) ledger.pending.erase(pending_at);
    ledger.ack_retries.erase(message_id);
}

// ---------------------------------------------------------------------------
// Acknowledgement-pending entries

std::optional<std::uint64_t> ClaimRegistry::mint_token() noexcept {
    // The largest value is never handed out: reaching it means the counter is spent.
    if (next_token_ == kTokenMax) return std::nullopt;
    return next_token_++;
}

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

bool ClaimRegistry::is_ack_pending(std::string_view room_id, const HashedKey& message_id) const {
    return pending_ack(room_id, message_id) != nullptr;
}

namespace {

// Stores a new entry and only then mints its token, so that a failed
// insertion leaves the counter where it was.
template <class Ledger, class Mint>
AckEntry& store_entry(Ledger& ledger, const HashedKey& message_id, Intent intent, Continuation continuation,
                      Mint&& mint) {
    AckEntry& entry = *ledger.pending
                           .try_insert_back(message_id,
                                            AckEntry{std::nullopt, std::move(intent), std::nullopt, continuation})
                           .first;
    entry.token = mint();
    return entry;
}

}  // namespace

void ClaimRegistry::remember_ack_pending(std::string_view room_id, const HashedKey& message_id) {
    if (is_ack_pending(room_id, message_id)) return;
    change_room(room_id, [&](RoomLedger& ledger) {
        store_entry(ledger, message_id, Intent::processed(), Continuation::finished(), [&] { return mint_token(); });
    });
}

Outcome<> ClaimRegistry::remember_failed_ack_pending(std::string_view room_id, const HashedKey& message_id,
                                                     std::string_view error) {
    Intent intent = Intent::failure(error);
    if (const AckEntry* existing = pending_ack(room_id, message_id)) {
        if (existing->intent == intent) return accept();
        return different_intent_issue();
    }
    change_room(room_id, [&](RoomLedger& ledger) {
        store_entry(ledger, message_id, std::move(intent), Continuation::finished(), [&] { return mint_token(); });
    });
    return accept();
}

const AckEntry* ClaimRegistry::pending_ack(std::string_view room_id, const HashedKey& message_id) const {
    const RoomLedger* ledger = room(room_id);
    return ledger ? ledger->pending.find(message_id) : nullptr;
}

bool ClaimRegistry::park_ack(std::string_view room_id, const HashedKey& message_id, ParkedReason reason) {
    RoomLedger* ledger = room(room_id);
    AckEntry* entry = ledger ? ledger->pending.find(message_id) : nullptr;
    if (!entry) return false;
    entry->parked = reason;
    return true;
}

std::size_t ClaimRegistry::unpark_acks(std::string_view room_id) {
    RoomLedger* ledger = room(room_id);
    if (!ledger) return 0;
    std::size_t unparked = 0;
    for (auto& [message_id, entry] : ledger->pending) {
        if (!entry.parked) continue;
        entry.parked.reset();
        ++unparked;
    }
    return unparked;
}

std::vector<std::string> ClaimRegistry::pending_ack_ids(std::string_view room_id) const {
    std::vector<std::string> ids;
    const RoomLedger* ledger = room(room_id);
    if (!ledger) return ids;
    ids.reserve(ledger->pending.size());
    for (const auto& [message_id, entry] : ledger->pending) ids.push_back(message_id);
    return ids;
}

std::uint32_t ClaimRegistry::record_ack_retry(std::string_view room_id, const HashedKey& message_id) {
    return change_room(room_id, [&](RoomLedger& ledger) {
        std::uint32_t* count = ledger.ack_retries.try_insert_back(message_id, 0).first;
        *count = saturating_increment(*count);
        return *count;
    });
}

// ---------------------------------------------------------------------------
// Eligibility

Eligibility ClaimRegistry::delivery_eligibility(std::string_view room_id, const HashedKey& message_id,
                                                const RetryTracker& tracker, const DeliveryFacts& facts) {
    return eligibility_in(room(room_id), message_id, tracker, facts);
}

Eligibility ClaimRegistry::eligibility_in(RoomLedger* ledger, const HashedKey& message_id,
                                          const RetryTracker& tracker, const DeliveryFacts& facts) {
    if (facts.self_echo) return Eligibility::Self;
    if (ledger && ledger->pending.contains(message_id)) return Eligibility::Pending;
    // The lookup runs (and touches) even when the platform already says processed.
    bool remembered = ledger && ledger->completed.move_to_back(message_id);
    if (facts.durably_processed || remembered) return Eligibility::Completed;
    if (tracker.is_permanently_failed(message_id)) return Eligibility::Exhausted;
    if (facts.durably_failed && !facts.allow_failed_retry) return Eligibility::Failed;
    if (ledger && ledger->inflight.contains(message_id)) return Eligibility::Inflight;
    return Eligibility::Runnable;
}

Eligibility ClaimRegistry::guarded_claim(std::string_view room_id, const HashedKey& message_id,
                                         const RetryTracker& tracker, const DeliveryFacts& facts) {
    RoomLedger* ledger = room(room_id);
    Eligibility word = eligibility_in(ledger, message_id, tracker, facts);
    if (word == Eligibility::Runnable) {
        change_room(room_id, ledger, [&](RoomLedger& l) { return l.inflight.insert_back(message_id); });
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

SettlementResult ClaimRegistry::record_settlement(std::string_view room_id, const HashedKey& message_id,
                                                  Intent intent, Continuation continuation) {
    RoomLedger* ledger = room(room_id);
    if (const AckEntry* existing = ledger ? ledger->pending.find(message_id) : nullptr) {
        // The same write recorded again: the entry as it stands, new continuation dropped.
        if (existing->intent == intent) return describe(*existing);
        return different_intent_issue();
    }
    if (next_token_ == kTokenMax) return token_exhausted_issue();  // nothing is stored
    return change_room(room_id, ledger, [&](RoomLedger& ledger) {
        return describe(store_entry(ledger, message_id, std::move(intent), continuation,
                                    [&] { return mint_token(); }));
    });
}

SettlementResult ClaimRegistry::record_processed_settlement(std::string_view room_id,
                                                            const HashedKey& message_id) {
    return record_settlement(room_id, message_id, Intent::processed(), Continuation::finished());
}

SettlementResult ClaimRegistry::record_failed_settlement(std::string_view room_id, const HashedKey& message_id,
                                                         std::string_view error, const RetryTracker& tracker,
                                                         bool allow_retry) {
    AttemptBudget budget = tracker.budget(message_id);
    Continuation continuation = Continuation::finished();
    // A retry is owed only while the attempts made are below the limit.
    if (allow_retry && budget.attempts < budget.limit) continuation = {true, budget.attempts, budget.limit};
    return record_settlement(room_id, message_id, Intent::failure(error), continuation);
}

SettlementLookup ClaimRegistry::pending_settlement(std::string_view room_id, const HashedKey& message_id) const {
    const AckEntry* entry = pending_ack(room_id, message_id);
    if (!entry) return std::optional<Settlement>();
    SettlementResult result = describe(*entry);
    if (!result.ok()) return result.refusal();
    return std::optional<Settlement>(std::move(result).value());
}

bool ClaimRegistry::confirm_settlement(std::string_view room_id, const HashedKey& message_id,
                                       std::string_view token, RetryTracker& tracker) {
    RoomLedger* ledger = room(room_id);
    if (!ledger) return false;
    // The handle stays good below: nothing else changes the pending map.
    const PendingAt at = ledger->pending.locate(message_id);
    if (!at) return false;
    const AckEntry& entry = ledger->pending.value(at);
    if (!token_matches(entry, token)) return false;
    if (!entry.continuation.retry) {
        if (entry.intent.failed()) tracker.mark_permanently_failed(message_id);
        tracker.mark_success(message_id);
        complete_in(*ledger, message_id, at);  // also drops the entry and the retry count
        return true;
    }
    tracker.confirm_retry(message_id, entry.continuation.attempts, entry.continuation.max_retries);
    ledger->pending.erase(at);
    ledger->ack_retries.erase(message_id);
    drop_if_unused(room_id, *ledger);
    return true;
}

bool ClaimRegistry::park_settlement(std::string_view room_id, const HashedKey& message_id,
                                    std::string_view token, ParkedReason reason) {
    RoomLedger* ledger = room(room_id);
    AckEntry* entry = ledger ? ledger->pending.find(message_id) : nullptr;
    if (!entry || !token_matches(*entry, token)) return false;
    entry->parked = reason;
    return true;
}

bool ClaimRegistry::has_retryable_settlement(std::string_view room_id) const {
    const RoomLedger* ledger = room(room_id);
    if (!ledger) return false;
    for (const auto& [message_id, entry] : ledger->pending) {
        if (!entry.parked) return true;
    }
    return false;
}

}  // namespace orvu::core
