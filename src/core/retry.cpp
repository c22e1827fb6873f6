#include "core/retry.hpp"

#include <algorithm>

namespace orvu::core {

AttemptBudget& RetryTracker::record_of(std::string_view message_id, std::uint64_t hash, AttemptBudget fresh) {
    const auto [record, added] = records_.try_insert_back(message_id, fresh, hash);
    // A new record sits at the newest end, so trimming never removes it (nor moves it).
    while (added && records_.size() > max_tracked_) records_.drop_front();
    return *record;
}

void RetryTracker::mark_failed(std::string_view message_id, std::uint64_t hash) {
    if (!failed_.insert_back(message_id, hash)) return;  // already marked: keeps its place
    while (failed_.size() > max_tracked_) failed_.drop_front();
}

AttemptResult RetryTracker::record_attempt(std::string_view message_id) {
    const std::uint64_t hash = Records::hash(message_id);
    // A first attempt starts from zero under the current limit; either way one more is counted.
    AttemptBudget& record = record_of(message_id, hash, {0, max_retries_});
    record.attempts.advance();
    const AttemptResult result{record.attempts, record.attempts > record.limit};
    if (result.exhausted) mark_failed(message_id, hash);
    return result;
}

void RetryTracker::mark_success(std::string_view message_id) { records_.erase(message_id); }

void RetryTracker::discard_attempt(std::string_view message_id) {
    const auto at = records_.locate(message_id);
    if (!at) return;
    AttemptBudget& record = records_.value(at);
    if (record.attempts <= 1) {
        records_.erase(at);
    } else {
        record.attempts = record.attempts - 1;
    }
}

void RetryTracker::mark_permanently_failed(std::string_view message_id) {
    mark_failed(message_id, Records::hash(message_id));
}

void RetryTracker::finish(std::string_view message_id, bool failed, std::uint64_t hash) {
    if (failed) mark_failed(message_id, hash);
    records_.erase(message_id, hash);
}

void RetryTracker::retry(std::string_view message_id, std::uint32_t attempts, std::uint32_t limit,
                         std::uint64_t hash) {
    // Without a record, one is written with the current max_retries as its limit.
    AttemptBudget& record = record_of(message_id, hash, {attempts, max_retries_});
    record.attempts = std::max<std::uint32_t>(attempts, record.attempts);
    record.limit = std::min(record.limit, limit);
    if (record.attempts >= record.limit) mark_failed(message_id, hash);
}

}  // namespace orvu::core
