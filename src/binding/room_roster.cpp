// RoomRoster and its RoomReconciliation result.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/room_roster.hpp"

namespace orvu::py {

// Returned as an instance of its class.
template <> struct RecordType<core::RoomReconciliation> { static constexpr TypeId id = TypeId::RoomReconciliation; };

namespace {

using Roster = Wrapped<core::RoomRoster>;
using Reconciliation = Wrapped<core::RoomReconciliation>;

constexpr Access X = Access::Exclusive;
constexpr Access S = Access::Shared;

}  // namespace

// A read-only record: its readers take no guard.
const ClassDef reg::RoomReconciliation = wrapped_class<Reconciliation>(
    "RoomReconciliation",
    "One reconnect's reconciliation against an authoritative room snapshot.\n"
    "`removed` and `admitting` are already applied by the time this is\n"
    "returned.",
    {},
    {getter<Reconciliation, Access::None, &core::RoomReconciliation::removed>(
         "removed: builtins.list[str]",
         "Rooms that were admitted and are missing from the snapshot; already dropped. Ascending."),
     getter<Reconciliation, Access::None, &core::RoomReconciliation::admitting>(
         "admitting: builtins.list[tuple[str, int]]",
         "`(room_id, ticket)` for each unadmitted room of the snapshot whose admission has begun. Ascending."),
     getter<Reconciliation, Access::None, &core::RoomReconciliation::resync>(
         "resync: builtins.list[str]",
         "Rooms that were admitted and are still in the snapshot; unchanged. Ascending.")});

// The roster's methods carry no docstring beyond their text signature.
const ClassDef reg::RoomRoster = wrapped_class<Roster, &default_new<Roster>>(
    "RoomRoster()",
    "Room admission and membership decisions for one agent session, separate\n"
    "from `SubscriptionTracker`'s two-topic transport join.",
    {
        method<Roster, S, &core::RoomRoster::room_membership>("room_membership(room_id: str) -> RoomMembership", ""),
        method<Roster, X, &core::RoomRoster::begin_room_admission>(
            "begin_room_admission(room_id: str, passes_filter: bool) -> int | None", ""),
        method<Roster, X, &core::RoomRoster::record_room_admission>(
            "record_room_admission(room_id: str, ticket: int, succeeded: bool) -> bool", ""),
        method<Roster, S, &core::RoomRoster::is_room_admission_current>(
            "is_room_admission_current(room_id: str, ticket: int) -> bool", ""),
        method<Roster, X, &core::RoomRoster::record_room_removed>("record_room_removed(room_id: str) -> bool", ""),
        method<Roster, S, &core::RoomRoster::tracked_room_ids>("tracked_room_ids() -> builtins.list[str]", ""),
        method<Roster, X, &core::RoomRoster::reconcile>(
            "reconcile(current_room_ids: Sequence[str]) -> RoomReconciliation", ""),
        method<Roster, X, &core::RoomRoster::clear>("clear() -> builtins.list[str]", ""),
    });

}  // namespace orvu::py
