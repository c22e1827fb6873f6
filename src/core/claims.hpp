// The delivery ledger of one connection: which inbound messages are being
// handled (in flight), which terminal writes are still owed to the platform
// (acknowledgement-pending, with a terminal obligation token and an optional
// parking mark), and which messages were already handled (completed, kept
// per room and bounded). Messages are identified by (room_id, message_id).
//
// Eligibility and settlement consult or update a RetryTracker that the
// caller passes in for the one call; the registry never keeps it.
#pragma once

#include "core/enums.hpp"
#include "core/json.hpp"
#include "core/numbers.hpp"
#include "core/ordered.hpp"
#include "core/refusal.hpp"
#include "core/retry.hpp"
#include "core/saturating.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvu::core {


// The terminal write owed for a message: processed, or failed with a text.
// The text lives behind a pointer, so that the usual processed intent moves
// and copies as a null pointer.
class Intent {
public:
    Intent() noexcept = default;
    static Intent processed() noexcept { return {}; }
    static Intent failure(std::string_view error) {
        Intent intent;
        intent.error_ = std::make_unique<const std::string>(error);
        return intent;
    }
    Intent(const Intent& other) : error_(other.error_ ? std::make_unique<const std::string>(*other.error_) : nullptr) {}
    Intent& operator=(const Intent& other) {
        if (this != &other) *this = Intent(other);
        return *this;
    }
    Intent(Intent&&) noexcept = default;
    Intent& operator=(Intent&&) noexcept = default;

    bool failed() const noexcept { return error_ != nullptr; }
    std::string_view error() const noexcept { return error_ ? std::string_view(*error_) : std::string_view(); }
    bool operator==(const Intent& other) const noexcept {
        return failed() == other.failed() && error() == other.error();
    }

private:
    std::unique_ptr<const std::string> error_;  // null: processed
};

// What follows once the platform accepted the write: nothing more, or a
// retry of the message within the budget it was recorded under.
struct Continuation {
    bool retry = false;
    std::uint32_t attempts = 0;
    std::uint32_t max_retries = 0;

    static Continuation finished() { return {}; }
};

struct AckEntry {
    std::optional<std::uint64_t> token;  // absent only when the counter was exhausted
    Intent intent;
    std::optional<ParkedReason> parked;
    Continuation continuation;
};

// An entry as the host sees it: always with a token. It reads the entry in
// place, without a copy of its error text, so it is good until the next change.
struct Settlement {
    std::uint64_t token;
    const AckEntry& entry;
};

// A settlement, or the validation refusal (one issue) that prevented it.
using SettlementResult = Outcome<Settlement>;
// No entry (nullopt), its settlement, or the refusal that prevents showing it.
using SettlementLookup = Outcome<std::optional<Settlement>>;

enum class Eligibility : std::uint8_t { Self, Completed, Pending, Inflight, Exhausted, Failed, Runnable };
inline constexpr std::size_t kEligibilityCount = 7;
std::string_view eligibility_word(Eligibility e) noexcept;

// What the host knows and the registry does not.
struct DeliveryFacts {
    bool self_echo = false;
    bool durably_processed = false;
    bool durably_failed = false;
    bool allow_failed_retry = true;
};

// The facts by name, in the order the host's calls list them.
struct DeliveryFactKey {
    std::string_view name;
    bool DeliveryFacts::*member;
};
inline constexpr DeliveryFactKey kDeliveryFactKeys[] = {
    {"self_echo", &DeliveryFacts::self_echo},
    {"durably_processed", &DeliveryFacts::durably_processed},
    {"durably_failed", &DeliveryFacts::durably_failed},
    {"allow_failed_retry", &DeliveryFacts::allow_failed_retry},
};

// Sets the fact named `name`. An unknown name is refused as a wrong type:
// "unknown field `{name}`, expected one of `self_echo`, `durably_processed`,
// `durably_failed`, `allow_failed_retry`".
Outcome<> set_delivery_fact(DeliveryFacts& facts, std::string_view name, bool value);

inline constexpr std::uint64_t kTokenMax = Saturating<std::uint64_t>::kLast;

// How many completed ids each room keeps: by default, and the accepted range.
inline constexpr std::uint32_t kDefaultMaxCompleted = 500;
inline constexpr IntRange kMaxCompletedRange{1, kCountMax};

class ClaimRegistry {
public:
    // `max_completed` lies in kMaxCompletedRange; `next_token` is where the
    // token counter starts (0 for a new ledger).
    explicit ClaimRegistry(std::uint32_t max_completed, std::uint64_t next_token = 0) noexcept
        : max_completed_(max_completed), tokens_(next_token) {}

    std::uint32_t max_completed() const noexcept { return max_completed_; }

    // In-flight set.
    bool try_claim(std::string_view room_id, std::string_view message_id);
    void release(std::string_view room_id, std::string_view message_id);
    std::vector<std::string> inflight_ids(std::string_view room_id) const;

    // Completed sets, each ordered from least to most recently touched.
    bool is_completed(std::string_view room_id, std::string_view message_id);  // touches when found
    std::vector<std::string> completed_ids(std::string_view room_id) const;
    void discard_completed(std::string_view room_id);
    // Also forgets the pair's pending entry and acknowledgement-retry count.
    void remember_completed(std::string_view room_id, std::string_view message_id);

    // Acknowledgement-pending entries, in creation order.
    bool is_ack_pending(std::string_view room_id, std::string_view message_id) const;
    void remember_ack_pending(std::string_view room_id, std::string_view message_id);
    // Refused (nothing changes) when a different intent is already pending.
    Outcome<> remember_failed_ack_pending(std::string_view room_id, std::string_view message_id,
                                          std::string_view error);
    const AckEntry* pending_ack(std::string_view room_id, std::string_view message_id) const;
    bool park_ack(std::string_view room_id, std::string_view message_id, ParkedReason reason);
    std::size_t unpark_acks(std::string_view room_id);
    std::vector<std::string> pending_ack_ids(std::string_view room_id) const;
    std::uint32_t record_ack_retry(std::string_view room_id, std::string_view message_id);

    // Eligibility: the first of self, pending, completed, exhausted, failed,
    // inflight, runnable that holds. The completed lookup touches the id.
    Eligibility delivery_eligibility(std::string_view room_id, std::string_view message_id,
                                     const RetryTracker& tracker, const DeliveryFacts& facts);
    // The same decision; "runnable" also claims the message.
    Eligibility guarded_claim(std::string_view room_id, std::string_view message_id, const RetryTracker& tracker,
                              const DeliveryFacts& facts);

    // Settlement.
    SettlementResult record_processed_settlement(std::string_view room_id, std::string_view message_id);
    SettlementResult record_failed_settlement(std::string_view room_id, std::string_view message_id,
                                              std::string_view error, const RetryTracker& tracker,
                                              bool allow_retry);
    SettlementLookup pending_settlement(std::string_view room_id, std::string_view message_id) const;
    // `token` is compared with the decimal text of the entry's token.
    bool confirm_settlement(std::string_view room_id, std::string_view message_id, std::string_view token,
                            RetryTracker& tracker);
    bool park_settlement(std::string_view room_id, std::string_view message_id, std::string_view token,
                         ParkedReason reason);
    bool has_retryable_settlement(std::string_view room_id) const;

    std::uint64_t next_token() const noexcept { return tokens_; }

private:
    // Everything the registry holds about one message that is in flight or
    // owes something: a message without any of it has no entry.
    struct MessageState {
        std::optional<AckEntry> pending;
        Saturating<std::uint32_t> ack_retries;  // 0: no count
        bool claimed = false;

        bool unused() const noexcept { return !claimed && !pending && ack_retries == 0; }
    };
    using Messages = OrderedMap<Text, MessageState>;

    // Everything the registry holds about one room, so that a per-room query
    // never looks at another room's entries.
    struct RoomLedger {
        // A message moves to the newest end when it gets a pending entry (and
        // no entry ever moves otherwise), so the pending entries follow one
        // another in creation order.
        Messages messages;
        OrderedSet<Text> completed;  // least to most recently touched; empty: no set

        // The set holds max_completed ids, and one more from an insertion
        // until the oldest goes.
        explicit RoomLedger(std::uint32_t max_completed) : completed(std::uint64_t{max_completed} + 1) {}

        bool unused() const noexcept { return messages.empty() && completed.empty(); }
    };
    using Rooms = OrderedMap<Text, RoomLedger>;

    // A message looked up once: its room's ledger (nullptr: none), its entry
    // there (a false handle: none, which insert_at takes), and the id's hash,
    // good in both of the room's maps.
    struct Spot {
        RoomLedger* ledger;
        Messages::Handle at;
        std::uint64_t hash;

        MessageState* state() const noexcept { return at ? &ledger->messages.value(at) : nullptr; }
        AckEntry* pending() const noexcept {
            MessageState* s = state();
            return s && s->pending ? &*s->pending : nullptr;
        }
    };
    Spot locate(std::string_view room_id, std::string_view message_id) noexcept;

    // The room's ledger, or nullptr. The calls on one message all name the
    // same room, so the changing calls try the room found last first; its
    // handle is checked against the id, so no change of `rooms_` (nor a copy
    // of the registry) can leave it wrong.
    ORVU_ALWAYS_INLINE RoomLedger* room(std::string_view room_id) noexcept {
        last_room_ = rooms_.locate(room_id, last_room_);
        return last_room_ ? &rooms_.value(last_room_) : nullptr;
    }
    const RoomLedger* room(std::string_view room_id) const noexcept { return rooms_.find(room_id); }
    // Runs `change` on the room's ledger (nullptr: absent), created first
    // when absent; a ledger created for a change that throws is dropped again.
    template <class Change>
    auto change_room(std::string_view room_id, RoomLedger* ledger, Change&& change);
    // The message's entry, created (without anything in it) when absent.
    static MessageState& state_in(RoomLedger& ledger, std::string_view message_id, const Spot& spot);
    // Stores a new pending entry for the message, which has none.
    AckEntry& store_pending(RoomLedger& ledger, std::string_view message_id, const Spot& spot, Intent intent,
                            Continuation continuation);
    // Remembers the id as completed, forgetting its pending entry and retry count.
    void complete(const Spot& spot, std::string_view room_id, std::string_view message_id);
    // Drops the message's entry once it holds nothing, then the room's ledger.
    void drop_if_unused(std::string_view room_id, const Spot& spot) noexcept;
    Eligibility eligibility_in(const Spot& spot, std::string_view message_id, const RetryTracker& tracker,
                               const DeliveryFacts& facts);
    SettlementResult record_settlement(const Spot& spot, std::string_view room_id, std::string_view message_id,
                                       Intent intent, Continuation continuation);
    bool token_matches(const AckEntry& entry, std::string_view token) const;

    std::uint32_t max_completed_;
    Saturating<std::uint64_t> tokens_;
    Rooms rooms_;
    Rooms::Handle last_room_;  // only ever read through room()
};

}  // namespace orvu::core
