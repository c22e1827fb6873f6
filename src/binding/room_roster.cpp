// RoomRoster and its RoomReconciliation result.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/room_roster.hpp"

namespace orvu::py {
namespace {

using core::RoomRoster;
using Roster = Wrapped<RoomRoster>;
using Reconciliation = Wrapped<core::RoomReconciliation>;
}  // namespace

template <>
struct RecordType<core::RoomReconciliation> {
    static constexpr TypeId id = TypeId::RoomReconciliation;
};

namespace {

// --- RoomReconciliation: a read-only record, so its readers take no guard ---------

PyGetSetDef reconciliation_getset[] = {
    member_getter<Reconciliation, Access::None, &core::RoomReconciliation::removed>(
        "removed", "Rooms that were admitted and are missing from the snapshot; already dropped. Ascending."),
    member_getter<Reconciliation, Access::None, &core::RoomReconciliation::admitting>(
        "admitting",
        "`(room_id, ticket)` for each unadmitted room of the snapshot whose admission has begun. Ascending."),
    member_getter<Reconciliation, Access::None, &core::RoomReconciliation::resync>(
        "resync", "Rooms that were admitted and are still in the snapshot; unchanged. Ascending."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- RoomRoster --------------------------------------------------------------------

const Signature kNew{"RoomRoster.__new__", {}, 0, 0};

constexpr Access X = Access::Exclusive;
constexpr Access S = Access::Shared;

PyMethodDef roster_methods[] = {
    core_method<Roster, S, &RoomRoster::room_membership>("RoomRoster", "room_membership($self, room_id)\n--\n\n"),
    core_method<Roster, X, &RoomRoster::begin_room_admission>(
        "RoomRoster", "begin_room_admission($self, room_id, passes_filter)\n--\n\n"),
    core_method<Roster, X, &RoomRoster::record_room_admission>(
        "RoomRoster", "record_room_admission($self, room_id, ticket, succeeded)\n--\n\n"),
    core_method<Roster, S, &RoomRoster::is_room_admission_current>(
        "RoomRoster", "is_room_admission_current($self, room_id, ticket)\n--\n\n"),
    core_method<Roster, X, &RoomRoster::record_room_removed>(
        "RoomRoster", "record_room_removed($self, room_id)\n--\n\n"),
    core_method<Roster, S, &RoomRoster::tracked_room_ids>("RoomRoster", "tracked_room_ids($self)\n--\n\n"),
    core_method<Roster, X, &RoomRoster::reconcile>("RoomRoster", "reconcile($self, current_room_ids)\n--\n\n"),
    core_method<Roster, X, &RoomRoster::clear>("RoomRoster", "clear($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Ref reg::room_reconciliation(PyObject* module) {
    return wrapped_class<Reconciliation>(
        module, "orvu_sdk_core.RoomReconciliation",
        "One reconnect's reconciliation against an authoritative room snapshot.\n"
        "`removed` and `admitting` are already applied by the time this is\n"
        "returned.",
        {{Py_tp_getset, reconciliation_getset}}, kRecordFlags);
}
Ref reg::room_roster(PyObject* module) {
    return wrapped_class<Roster>(
        module, "orvu_sdk_core.RoomRoster",
        "RoomRoster()\n--\n\n"
        "Room admission and membership decisions for one agent session, separate\n"
        "from `SubscriptionTracker`'s two-topic transport join.",
        {{Py_tp_new, constructor<kNew, &default_new<Roster>>()},
         {Py_tp_methods, roster_methods}});
}

}  // namespace orvu::py
