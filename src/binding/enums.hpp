// Enumeration classes, built from the core's descriptor table. Each
// interpreter's module holds its own members in its state; within one
// interpreter every member is one object, returned everywhere (`is` holds).
#pragma once

#include "binding/access.hpp"
#include "binding/args.hpp"
#include "binding/state.hpp"
#include "core/enums.hpp"

#include <optional>

namespace orvu::py {

struct EnumObject {
    PyObject_HEAD
    core::EnumId id;
    std::uint32_t index;
};

// The variant index when `obj` is a member of enumeration `id`, else nullopt.
inline std::optional<std::size_t> enum_index(const ModuleState& state, PyObject* obj, core::EnumId id) noexcept {
    if (Py_TYPE(obj) != state.enum_types[static_cast<std::size_t>(id)]) return std::nullopt;
    return reinterpret_cast<EnumObject*>(obj)->index;
}

// Argument converter: a member of enumeration `id` as its core variant;
// TypeError naming the class otherwise.
template <class E>
E enum_arg(const BoundArgs& a, std::size_t i, core::EnumId id) {
    const ModuleState& state = a.state();
    a.instance(i, state.enum_types[static_cast<std::size_t>(id)]);
    return static_cast<E>(reinterpret_cast<EnumObject*>(a[i])->index);
}

// The enumeration of a core enum type: what lets converters take and build
// members by the C++ type of a core parameter or result.
template <class E>
inline constexpr core::EnumId enum_id_of = [] {
    static_assert(sizeof(E) == 0, "not an enumeration of the module");
    return core::EnumId{};
}();
template <> inline constexpr core::EnumId enum_id_of<core::AgentTopicKind> = core::EnumId::AgentTopicKind;
template <> inline constexpr core::EnumId enum_id_of<core::AgentTopicStatus> = core::EnumId::AgentTopicStatus;
template <> inline constexpr core::EnumId enum_id_of<core::ClaimOutcome> = core::EnumId::ClaimOutcome;
template <> inline constexpr core::EnumId enum_id_of<core::DeadReason> = core::EnumId::DeadReason;
template <> inline constexpr core::EnumId enum_id_of<core::EventType> = core::EnumId::EventType;
template <> inline constexpr core::EnumId enum_id_of<core::LeaveOutcome> = core::EnumId::LeaveOutcome;
template <> inline constexpr core::EnumId enum_id_of<core::MemoryListScope> = core::EnumId::MemoryListScope;
template <> inline constexpr core::EnumId enum_id_of<core::MemorySegment> = core::EnumId::MemorySegment;
template <> inline constexpr core::EnumId enum_id_of<core::MemoryStatus> = core::EnumId::MemoryStatus;
template <> inline constexpr core::EnumId enum_id_of<core::MemoryStoreScope> = core::EnumId::MemoryStoreScope;
template <> inline constexpr core::EnumId enum_id_of<core::MemorySystem> = core::EnumId::MemorySystem;
template <> inline constexpr core::EnumId enum_id_of<core::MemoryType> = core::EnumId::MemoryType;
template <> inline constexpr core::EnumId enum_id_of<core::ParkedReason> = core::EnumId::ParkedReason;
template <> inline constexpr core::EnumId enum_id_of<core::RoomMembership> = core::EnumId::RoomMembership;
template <> inline constexpr core::EnumId enum_id_of<core::RoomStatus> = core::EnumId::RoomStatus;
template <> inline constexpr core::EnumId enum_id_of<core::RoomSubscribeResult> = core::EnumId::RoomSubscribeResult;
template <> inline constexpr core::EnumId enum_id_of<core::SessionState> = core::EnumId::SessionState;
template <> inline constexpr core::EnumId enum_id_of<core::StaleReason> = core::EnumId::StaleReason;
template <> inline constexpr core::EnumId enum_id_of<core::TurnEffect> = core::EnumId::TurnEffect;
template <> inline constexpr core::EnumId enum_id_of<core::TurnVerdict> = core::EnumId::TurnVerdict;

// The `Object` of a method on an enumeration class: `method<EnumMember, Sig,
// Access::None, &body>` with `Ref body(const EnumObject& member, const
// BoundArgs&)`. Members are immutable, so such a method takes no guard: its
// `access` flag only gives the template its shape and is never taken.
struct EnumMember {
    AccessFlag access;
    static EnumMember* cast(PyObject*) noexcept {
        static EnumMember unguarded;
        return &unguarded;
    }
    static const EnumObject& of(PyObject* self) noexcept { return *reinterpret_cast<EnumObject*>(self); }
};

}  // namespace orvu::py
