// Which rooms the agent counts as its own: a ticketed two-step admission,
// removal when the platform drops the agent, and reconciliation against the
// platform's authoritative room list after a reconnect. Independent of the
// subscription tracker (its own ticket counter).
#pragma once

#include "core/enums.hpp"
#include "core/ordered.hpp"
#include "core/saturating.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvu::core {

// One reconnect's reconciliation; every list ascending by code point.
struct RoomReconciliation {
    std::vector<std::string> removed;                              // dropped from the roster
    std::vector<std::pair<std::string, std::uint64_t>> admitting;  // admissions begun, with tickets
    std::vector<std::string> resync;                               // still admitted
};

class RoomRoster {
public:
    explicit RoomRoster(std::uint64_t first_ticket = 0) noexcept : counter_(first_ticket) {}

    RoomMembership room_membership(const std::string& room_id) const;
    std::optional<std::uint64_t> begin_room_admission(const std::string& room_id, bool passes_filter);
    bool record_room_admission(const std::string& room_id, std::uint64_t ticket, bool succeeded);
    bool is_room_admission_current(const std::string& room_id, std::uint64_t ticket) const;
    bool record_room_removed(const std::string& room_id);
    // Admitted rooms, oldest first.
    std::vector<std::string> tracked_room_ids() const;
    // `current_room_ids` may repeat ids and come in any order.
    RoomReconciliation reconcile(const std::vector<std::string>& current_room_ids);
    // Every admitted or admitting room, ascending; both collections are emptied.
    std::vector<std::string> clear();

private:
    OrderedSet<std::string> admitted_;
    OrderedMap<std::string, std::uint64_t> admitting_;  // room id -> ticket
    TicketCounter counter_;
};

}  // namespace orvu::core
