#include "core/retry.hpp"

#include <algorithm>

namespace orvu::core {

RetryTracker::RetryTracker(std::uint32_t max_retries, std::uint32_t max_tracked)
    : max_retries_(max_retries), max_tracked_(max_tracked) {}

void RetryTracker::put_record(const HashedKey& message_id, AttemptBudget record) {
    auto [stored, added] = records_.try_insert_back(message_id, record);
    if (!added) {
        *stored = record;
        return;
    }
    // The new record sits at the newest end, so trimming never removes it.
    while (records_.size() > max_tracked_) records_.drop_front();
}

AttemptResult RetryTracker::record_attempt(const HashedKey& message_id) {
    // A first attempt starts from zero under the current limit; either way one more is counted.
    auto [stored, added] = records_.try_insert_back(message_id, AttemptBudget{0, max_retries_});
    stored->attempts = saturating_increment(stored->attempts);
    const AttemptBudget record = *stored;
    if (added) {
        while (records_.size() > max_tracked_) records_.drop_front();  // never the newest record
    }
    bool exhausted = record.attempts > record.limit;
    if (exhausted) mark_permanently_failed(message_id);
    return {record.attempts, exhausted};
}

void RetryTracker::mark_success(const HashedKey& message_id) { records_.erase(message_id); }

void RetryTracker::discard_attempt(const HashedKey& message_id) {
    AttemptBudget* record = records_.find(message_id);
    if (!record) return;
    if (record->attempts <= 1) {
        records_.erase(message_id);
    } else {
        --record->attempts;
    }
}

void RetryTracker::mark_permanently_failed(const HashedKey& message_id) {
    if (!failed_.insert_back(message_id)) return;  // already marked: keeps its place
    while (failed_.size() > max_tracked_) failed_.drop_front();
}

bool RetryTracker::is_permanently_failed(const HashedKey& message_id) const { return failed_.contains(message_id); }

AttemptBudget RetryTracker::budget(const HashedKey& message_id) const {
    if (const AttemptBudget* record = records_.find(message_id)) return *record;
    return {0, max_retries_};
}

void RetryTracker::confirm_retry(const HashedKey& message_id, std::uint32_t attempts, std::uint32_t limit) {
    std::uint32_t effective = max_retries_;
    if (const AttemptBudget* record = records_.find(message_id)) {
        attempts = std::max(attempts, record->attempts);
        effective = record->limit;
    }
    effective = std::min(effective, limit);
    put_record(message_id, {attempts, effective});
    if (attempts >= effective) mark_permanently_failed(message_id);
}

}  // namespace orvu::core
