// The per-message retry budget: how often handling of a message was started,
// and which messages used up their budget for good. Keyed by message id
// alone; both stores are bounded and forget their oldest entry first. Each
// call hashes its id once for both stores.
#pragma once

#include "core/numbers.hpp"
#include "core/ordered.hpp"
#include "core/saturating.hpp"

#include <concepts>
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

    // These also serve the claim registry, whose tables hash ids as these
    // stores do: it passes the hash it has (`hash(message_id)`) as an
    // optional last argument, so that one call hashes its id once.
    static std::uint64_t hash(std::string_view message_id) { return Records::hash(message_id); }
    template <std::same_as<std::uint64_t>... H>
    bool is_permanently_failed(std::string_view message_id, H... h) const {
        return failed_.contains(message_id, h...);
    }
    // The message's (attempts, limit), or (0, max_retries) without a record.
    template <std::same_as<std::uint64_t>... H>
    AttemptBudget budget(std::string_view message_id, H... h) const {
        const AttemptBudget* record = records_.find(message_id, h...);
        return record ? *record : AttemptBudget{0, max_retries_};
    }
    // A settlement without a retry was confirmed: the record goes, and a
    // failure marks the message permanently failed.
    template <std::same_as<std::uint64_t>... H>
    void confirm_finished(std::string_view message_id, bool failed, H... h) {
        finish(message_id, failed, hash_of(message_id, h...));
    }
    // A failure of `attempts` made under `limit` will be retried: keeps the
    // larger attempt count and the smaller limit, and marks the message
    // permanently failed when no retry is left (attempts >= limit).
    template <std::same_as<std::uint64_t>... H>
    void confirm_retry(std::string_view message_id, std::uint32_t attempts, std::uint32_t limit, H... h) {
        retry(message_id, attempts, limit, hash_of(message_id, h...));
    }

private:
    using Records = OrderedMap<Text, AttemptBudget>;
    static std::uint64_t hash_of(std::string_view message_id) { return hash(message_id); }
    static std::uint64_t hash_of(std::string_view, std::uint64_t h) { return h; }
    void finish(std::string_view message_id, bool failed, std::uint64_t hash);
    void retry(std::string_view message_id, std::uint32_t attempts, std::uint32_t limit, std::uint64_t hash);
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
