// RoomRoster and its RoomReconciliation result.
#include "binding/enums.hpp"
#include "binding/method.hpp"
#include "binding/legacy.hpp"
#include "binding/registry.hpp"
#include "core/room_roster.hpp"

namespace orvu::py {
namespace {

using core::EnumId;
using Roster = Wrapped<core::RoomRoster>;
using Reconciliation = Wrapped<core::RoomReconciliation>;

core::RoomRoster& roster(PyObject* self) { return Roster::of(self); }

// A list or tuple of str. A str is refused outright (never taken as a
// sequence of one-letter ids), and so is every other iterable: reading a set
// or a generator would give an order or a one-shot consumption the caller did
// not ask for.
std::vector<std::string> room_id_sequence(const BoundArgs& a, std::size_t i) {
    PyObject* obj = a[i];
    bool is_list = PyList_Check(obj);
    if (!is_list && !PyTuple_Check(obj)) a.wrong_type(i, "list or tuple of str");
    Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
    if (n < 0) throw_error();
    std::vector<std::string> ids;
    ids.reserve(static_cast<std::size_t>(n));
    // Nothing below runs Python code, so the list cannot change under us.
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = is_list ? PyList_GetItem(obj, k) : PyTuple_GetItem(obj, k);
        if (!item) throw_error();
        if (!PyUnicode_Check(item)) {
            raise_type_error(std::string(a.callable()) + "() argument '" + a.name(i) + "' must contain only str, not " +
                             type_name_of(item) + " (at index " + std::to_string(k) + ")");
        }
        ids.emplace_back(utf8_view(item));
    }
    return ids;
}

// --- RoomReconciliation ------------------------------------------------------------

PyObject* reconciliation_removed(PyObject* self, void*) noexcept {
    return guarded([&] { return str_list(Reconciliation::of(self).removed); });
}
PyObject* reconciliation_resync(PyObject* self, void*) noexcept {
    return guarded([&] { return str_list(Reconciliation::of(self).resync); });
}
PyObject* reconciliation_admitting(PyObject* self, void*) noexcept {
    return guarded([&] { return ticketed_list(Reconciliation::of(self).admitting); });
}

PyGetSetDef reconciliation_getset[] = {
    {"removed", &reconciliation_removed, nullptr,
     "Rooms that were admitted and are missing from the snapshot; already dropped. Ascending.", nullptr},
    {"admitting", &reconciliation_admitting, nullptr,
     "`(room_id, ticket)` for each unadmitted room of the snapshot whose admission has begun. Ascending.",
     nullptr},
    {"resync", &reconciliation_resync, nullptr,
     "Rooms that were admitted and are still in the snapshot; unchanged. Ascending.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reconciliation_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&Reconciliation::dealloc)},
    {Py_tp_getset, reconciliation_getset},
    {Py_tp_doc, const_cast<char*>("One reconnect's reconciliation against an authoritative room snapshot.\n"
                                  "`removed` and `admitting` are already applied by the time this is\n"
                                  "returned.")},
    {0, nullptr},
};

PyType_Spec reconciliation_spec{"orvu_sdk_core.RoomReconciliation", static_cast<int>(sizeof(Reconciliation)), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, reconciliation_slots};


// --- RoomRoster --------------------------------------------------------------------

const Signature kNew{"RoomRoster.__new__", {}, 0, 0};
const Signature kMembership{"RoomRoster.room_membership", {"room_id"}, 1, 1};
const Signature kBegin{"RoomRoster.begin_room_admission", {"room_id", "passes_filter"}, 2, 2};
const Signature kRecord{"RoomRoster.record_room_admission", {"room_id", "ticket", "succeeded"}, 3, 3};
const Signature kCurrent{"RoomRoster.is_room_admission_current", {"room_id", "ticket"}, 2, 2};
const Signature kRemoved{"RoomRoster.record_room_removed", {"room_id"}, 1, 1};
const Signature kTracked{"RoomRoster.tracked_room_ids", {}, 0, 0};
const Signature kReconcile{"RoomRoster.reconcile", {"current_room_ids"}, 1, 1};
const Signature kClear{"RoomRoster.clear", {}, 0, 0};

Ref room_membership(PyObject* self, const BoundArgs& a) {
    return enum_ref(EnumId::RoomMembership, roster(self).room_membership(std::string(a.str(0))));
}
Ref begin_room_admission(PyObject* self, const BoundArgs& a) {
    std::string room(a.str(0));
    bool passes = a.boolean(1);
    return optional_ticket(roster(self).begin_room_admission(room, passes));
}
Ref record_room_admission(PyObject* self, const BoundArgs& a) {
    std::string room(a.str(0));
    auto ticket = a.integer<std::uint64_t>(1);
    bool succeeded = a.boolean(2);
    return boolean(roster(self).record_room_admission(room, ticket, succeeded));
}
Ref is_room_admission_current(PyObject* self, const BoundArgs& a) {
    std::string room(a.str(0));
    auto ticket = a.integer<std::uint64_t>(1);
    return boolean(roster(self).is_room_admission_current(room, ticket));
}
Ref record_room_removed(PyObject* self, const BoundArgs& a) {
    return boolean(roster(self).record_room_removed(std::string(a.str(0))));
}
Ref tracked_room_ids(PyObject* self, const BoundArgs&) { return str_list(roster(self).tracked_room_ids()); }
Ref reconcile(PyObject* self, const BoundArgs& a) {
    std::vector<std::string> snapshot = room_id_sequence(a, 0);
    PyTypeObject* result_type = module_type("RoomReconciliation");
    auto result = std::make_unique<core::RoomReconciliation>(roster(self).reconcile(snapshot));
    return Reconciliation::create(result_type, std::move(result));
}
Ref clear(PyObject* self, const BoundArgs&) { return str_list(roster(self).clear()); }

constexpr Access X = Access::Exclusive;
constexpr Access S = Access::Shared;

PyMethodDef roster_methods[] = {
    {"room_membership", method<Roster, kMembership, S, &room_membership>(), kFastCall,
     "room_membership($self, room_id)\n--\n\n"},
    {"begin_room_admission", method<Roster, kBegin, X, &begin_room_admission>(), kFastCall,
     "begin_room_admission($self, room_id, passes_filter)\n--\n\n"},
    {"record_room_admission", method<Roster, kRecord, X, &record_room_admission>(), kFastCall,
     "record_room_admission($self, room_id, ticket, succeeded)\n--\n\n"},
    {"is_room_admission_current", method<Roster, kCurrent, S, &is_room_admission_current>(), kFastCall,
     "is_room_admission_current($self, room_id, ticket)\n--\n\n"},
    {"record_room_removed", method<Roster, kRemoved, X, &record_room_removed>(), kFastCall,
     "record_room_removed($self, room_id)\n--\n\n"},
    {"tracked_room_ids", method<Roster, kTracked, S, &tracked_room_ids>(), kFastCall,
     "tracked_room_ids($self)\n--\n\n"},
    {"reconcile", method<Roster, kReconcile, X, &reconcile>(), kFastCall, "reconcile($self, current_room_ids)\n--\n\n"},
    {"clear", method<Roster, kClear, X, &clear>(), kFastCall, "clear($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* roster_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        bind(kNew, args, kwargs);
        return Roster::create(type, std::make_unique<core::RoomRoster>());
    });
}

PyType_Slot roster_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&roster_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Roster::dealloc)},
    {Py_tp_methods, roster_methods},
    {Py_tp_doc, const_cast<char*>("RoomRoster()\n--\n\n"
                                  "Room admission and membership decisions for one agent session, separate\n"
                                  "from `SubscriptionTracker`'s two-topic transport join.")},
    {0, nullptr},
};

PyType_Spec roster_spec{"orvu_sdk_core.RoomRoster", static_cast<int>(sizeof(Roster)), 0, Py_TPFLAGS_DEFAULT,
                        roster_slots};


}  // namespace

namespace reg {
Ref room_reconciliation(PyObject* module) { return make_type(module, &reconciliation_spec); }
Ref room_roster(PyObject* module) { return make_type(module, &roster_spec); }
}  // namespace reg

}  // namespace orvu::py
