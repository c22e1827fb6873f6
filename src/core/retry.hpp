// The per-message retry budget: how often handling of a message was started,
// and which messages used up their budget for good. Keyed by message id
// alone; both stores are bounded and forget their oldest entry first.
#pragma once

#include "core/numbers.hpp"
#include "core/ordered.hpp"

#include <cstdint>
#include <limits>
#include <string>

namespace orvu::core {

inline constexpr std::uint32_t kCountMax = std::numeric_limits<std::uint32_t>::max();

// The retry limit of each newly tracked message, and how many messages are
// tracked at most: by default, and the accepted ranges.
inline constexpr std::uint32_t kDefaultMaxRetries = 1;
inline constexpr IntRange kMaxRetriesRange{0, kCountMax};
inline constexpr std::uint32_t kDefaultMaxTracked = 10000;
inline constexpr IntRange kMaxTrackedRange{1, kCountMax};

// Counts stop at their largest value instead of wrapping to zero.
constexpr std::uint32_t saturating_increment(std::uint32_t n) noexcept { return n == kCountMax ? n : n + 1; }

struct AttemptBudget {
    std::uint32_t attempts = 0;
    std::uint32_t limit = 0;  // copied from max_retries when the record is created
};

struct AttemptResult {
    std::uint32_t attempts = 0;
    bool exhausted = false;
};

class RetryTracker {
public:
    // Both counts lie in their ranges above (the caller checks them).
    RetryTracker(std::uint32_t max_retries, std::uint32_t max_tracked);

    std::uint32_t max_retries() const noexcept { return max_retries_; }
    std::uint32_t max_tracked() const noexcept { return max_tracked_; }

    // One more handling cycle started. Exhausted once attempts exceed the
    // record's limit, which also marks the message permanently failed.
    AttemptResult record_attempt(const HashedKey& message_id);
    // Forgets the attempt record; the permanent mark stays.
    void mark_success(const HashedKey& message_id);
    // Takes back one attempt of a cycle aborted before the handler ran.
    void discard_attempt(const HashedKey& message_id);
    void mark_permanently_failed(const HashedKey& message_id);
    bool is_permanently_failed(const HashedKey& message_id) const;

    // The message's (attempts, limit), or (0, max_retries) without a record.
    AttemptBudget budget(const HashedKey& message_id) const;
    // A failure of `attempts` made under `limit` will be retried: keeps the
    // larger attempt count and the smaller limit, and marks the message
    // permanently failed when no retry is left (attempts >= limit).
    void confirm_retry(const HashedKey& message_id, std::uint32_t attempts, std::uint32_t limit);

    // Oldest first; for inspection and invariants.
    const OrderedMap<std::string, AttemptBudget>& records() const noexcept { return records_; }
    std::size_t permanently_failed_count() const noexcept { return failed_.size(); }

private:
    // Writes a record in place, or appends it and trims the oldest beyond max_tracked.
    void put_record(const HashedKey& message_id, AttemptBudget record);

    std::uint32_t max_retries_;
    std::uint32_t max_tracked_;
    OrderedMap<std::string, AttemptBudget> records_;
    OrderedSet<std::string> failed_;
};

}  // namespace orvu::core
