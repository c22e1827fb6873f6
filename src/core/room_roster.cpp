#include "core/room_roster.hpp"

#include <algorithm>
#include <unordered_set>

namespace orvu::core {

RoomMembership RoomRoster::room_membership(const std::string& room_id) const {
    if (admitting_.contains(room_id)) return RoomMembership::Admitting;
    if (admitted_.contains(room_id)) return RoomMembership::Admitted;
    return RoomMembership::Unadmitted;
}

std::optional<std::uint64_t> RoomRoster::begin_room_admission(const std::string& room_id, bool passes_filter) {
    if (!passes_filter || room_membership(room_id) != RoomMembership::Unadmitted || counter_.exhausted()) {
        return std::nullopt;
    }
    std::uint64_t ticket = counter_;
    admitting_.insert_back(room_id, ticket);
    counter_.advance();
    return ticket;
}

bool RoomRoster::record_room_admission(const std::string& room_id, std::uint64_t ticket, bool succeeded) {
    if (!is_room_admission_current(room_id, ticket)) return false;
    if (succeeded) admitted_.insert_back(room_id);
    admitting_.erase(room_id);
    return succeeded;
}

bool RoomRoster::is_room_admission_current(const std::string& room_id, std::uint64_t ticket) const {
    const std::uint64_t* current = admitting_.find(room_id);
    return current && *current == ticket;
}

bool RoomRoster::record_room_removed(const std::string& room_id) {
    admitting_.erase(room_id);
    return admitted_.erase(room_id);
}

std::vector<std::string> RoomRoster::tracked_room_ids() const {
    std::vector<std::string> out;
    out.reserve(admitted_.size());
    admitted_.for_each([&](const std::string& id) { out.push_back(id); });
    return out;
}

RoomReconciliation RoomRoster::reconcile(const std::vector<std::string>& current_room_ids) {
    const std::unordered_set<std::string, KeyHash<std::string>> snapshot(current_room_ids.begin(),
                                                                         current_room_ids.end());

    RoomReconciliation result;
    admitted_.for_each([&](const std::string& id) {
        (snapshot.count(id) ? result.resync : result.removed).push_back(id);
    });
    // std::string compares as unsigned bytes, which for UTF-8 is code point order.
    std::sort(result.removed.begin(), result.removed.end());
    std::sort(result.resync.begin(), result.resync.end());

    std::vector<std::string> candidates;
    for (const std::string& id : snapshot) {
        if (room_membership(id) == RoomMembership::Unadmitted) candidates.push_back(id);
    }
    std::sort(candidates.begin(), candidates.end());

    // Everything above only read the roster. Begin the admissions first and
    // undo them if one cannot be stored, so a failure leaves no trace.
    TicketCounter counter = counter_;
    try {
        for (const std::string& id : candidates) {
            if (counter.exhausted()) break;
            std::uint64_t ticket = counter;
            result.admitting.emplace_back(id, ticket);
            admitting_.insert_back(id, ticket);
            counter.advance();
        }
    } catch (...) {
        for (const auto& entry : result.admitting) admitting_.erase(entry.first);
        throw;
    }
    counter_ = counter;
    for (const std::string& id : result.removed) admitted_.erase(id);
    return result;
}

std::vector<std::string> RoomRoster::clear() {
    std::vector<std::string> ids;
    ids.reserve(admitted_.size() + admitting_.size());
    admitted_.for_each([&](const std::string& id) { ids.push_back(id); });
    for (const auto& entry : admitting_) ids.push_back(entry.first);
    std::sort(ids.begin(), ids.end());
    admitted_.clear();
    admitting_.clear();
    return ids;
}

}  // namespace orvu::core
