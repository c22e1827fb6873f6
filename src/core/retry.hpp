// The per-message retry budget: how often handling of a message was started,
// and which messages used up their budget for good. Keyed by message id
// alone; both stores are bounded and forget their oldest entry first. Each
// call hashes its id once for both stores.
#pragma once

#include "core/numbers.hpp"
#include "core/ordered.hpp"
#include "core/saturating.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace orvu::core {

inline constexpr std::uint32_t kCountMax = Saturating<std::uint32_t>::kLast;

// The retry limit of each newly tracked message, and how many messages are
// tracked at most: by default, and the accepted ranges.
inline constexpr std::uint32_t kDefaultMaxRetries = 1;
inline constexpr IntRange kMaxRetriesRange{0, kCountMax};
inline constexpr std::uint32_t kDefaultMaxTracked = 10000;
inline constexpr IntRange kMaxTrackedRange{1, kCountMax};

struct AttemptBudget {
    Saturating<std::uint32_t> attempts;
    std::uint32_t limit = 0;  // copied from max_retries when the record is created
};

struct AttemptResult {
    std::uint32_t attempts = 0;
    bool exhausted = false;
};

class RetryTracker {
public:
    // `max_tracked` lies in kMaxTrackedRange.
    RetryTracker(std::uint32_t max_retries, std::uint32_t max_tracked) noexcept
        : max_retries_(max_retries),
          max_tracked_(max_tracked),
          // Each store holds max_tracked ids, and one more from an insertion until the oldest goes.
          records_(std::uint64_t{max_tracked} + 1),
          failed_(std::uint64_t{max_tracked} + 1) {}

    std::uint32_t max_retries() const noexcept { return max_retries_; }

    // One more handling cycle started. Exhausted once attempts exceed the
    // record's limit, which also marks the message permanently failed.
    AttemptResult record_attempt(std::string_view message_id);
    // Forgets the attempt record; the permanent mark stays.
    void mark_success(std::string_view message_id);
    // Takes back one attempt of a cycle aborted before the handler ran.
    void discard_attempt(std::string_view message_id);
    void mark_permanently_failed(std::string_view message_id);
    bool is_permanently_failed(std::string_view message_id) const;

    // The message's (attempts, limit), or (0, max_retries) without a record.
    AttemptBudget budget(std::string_view message_id) const;
    // A settlement without a retry was confirmed: the record goes, and a
    // failure marks the message permanently failed.
    void confirm_finished(std::string_view message_id, bool failed);
    // A failure of `attempts` made under `limit` will be retried: keeps the
    // larger attempt count and the smaller limit, and marks the message
    // permanently failed when no retry is left (attempts >= limit).
    void confirm_retry(std::string_view message_id, std::uint32_t attempts, std::uint32_t limit);

private:
    using Records = OrderedMap<Text, AttemptBudget>;
    // The record of the id; without one, `fresh` is appended and the oldest
    // beyond max_tracked trimmed.
    AttemptBudget& record_of(std::string_view message_id, std::uint64_t hash, AttemptBudget fresh);
    void mark_failed(std::string_view message_id, std::uint64_t hash);

    std::uint32_t max_retries_;
    std::uint32_t max_tracked_;
    Records records_;
    OrderedSet<Text> failed_;
};

}  // namespace orvu::core
