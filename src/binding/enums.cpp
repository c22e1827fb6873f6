#include "binding/enums.hpp"

#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/subscriptions.hpp"

#include <array>
#include <string>
#include <utility>

namespace orvu::py {
namespace {

using core::EnumDef;
using core::EnumForm;
using core::EnumId;

EnumObject* as_enum(PyObject* obj) noexcept { return reinterpret_cast<EnumObject*>(obj); }
const core::EnumVariant& variant_of(EnumId id, std::uint32_t index) noexcept {
    return core::enum_def(id).variants[index];
}
const core::EnumVariant& variant_of(PyObject* obj) noexcept { return variant_of(as_enum(obj)->id, as_enum(obj)->index); }

PyObject* enum_repr(PyObject* self) noexcept {
    return guarded([&] {
        std::string text(core::enum_def(as_enum(self)->id).class_name);
        text += '.';
        text += variant_of(self).name;
        return make_str(text);
    });
}

PyObject* enum_str(PyObject* self) noexcept {
    return guarded([&] { return make_str(variant_of(self).wire); });
}

PyObject* enum_int(PyObject* self) noexcept { return PyLong_FromUnsignedLong(as_enum(self)->index); }

PyObject* enum_richcompare(PyObject* a, PyObject* b, int op) noexcept {
    if ((op == Py_EQ || op == Py_NE) && Py_TYPE(a) == Py_TYPE(b)) {
        bool equal = as_enum(a)->index == as_enum(b)->index;
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
    }
    return Ref::borrow(Py_NotImplemented).release();
}

// Members are tracked by the collector (traverse_class), so that the cycle
// class -> member (a class attribute) -> class, and through the class the
// module and its state, can be collected once the module is dropped.
// The wire string, as `value` or `wire_name`.
Ref wire(const EnumObject& member, ModuleState&) { return make_str(variant_of(member.id, member.index).wire); }

// from_wire_name: a static method, so its builtin is bound to the module;
// one instance of the body per class says which enumeration it reads.
template <std::size_t Id>
Ref from_wire(const BoundArgs& a) {
    auto index = core::enum_index_from_wire(static_cast<EnumId>(Id), a.str(0));
    return index ? a.state().members[Id][*index] : none();
}

Ref agent_topic(const EnumObject& kind, const BoundArgs& a) {
    return result::str(core::agent_topic(static_cast<core::AgentTopicKind>(kind.index), a.str(0)));
}

constexpr Access kNone = Access::None;  // members are immutable: nothing to guard

template <std::size_t Id>
ClassDef enum_class() {
    const EnumDef& def = core::enum_def(static_cast<EnumId>(Id));
    const bool wire_form = def.form == EnumForm::WireName;
    Methods methods;
    if (wire_form) {
        methods.push_back(method<EnumMember, kNone, &from_wire<Id>>(
            fill("@staticmethod from_wire_name(name: str) -> {} | None", def.class_name),
            "The member whose wire name equals `name` exactly, or `None`."));
    }
    if (def.id == EnumId::AgentTopicKind) {
        methods.push_back(method<EnumMember, kNone, &agent_topic>("topic(agent_id: str) -> str",
            "This channel's topic for `agent_id`: the wire name, a colon, then\n"
            "`agent_id` unchanged."));
    }
    return class_def(def.class_name, def.doc ? def.doc : "", static_cast<int>(sizeof(EnumObject)), nullptr,
                     std::move(methods),
                     {getter<EnumMember, kNone, &wire>(wire_form ? "wire_name: str" : "value: str",
                                                       def.wire_doc ? def.wire_doc : "")},
                     {{Py_tp_repr, reinterpret_cast<void*>(&enum_repr)},
                      {Py_tp_str, reinterpret_cast<void*>(&enum_str)},
                      {Py_nb_int, reinterpret_cast<void*>(&enum_int)},
                      {Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare)},
                      {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
                      {Py_tp_dealloc, reinterpret_cast<void*>(&free_instance)},
                      {Py_tp_traverse, reinterpret_cast<void*>(&traverse_class)}});
}

template <std::size_t... Id>
std::array<ClassDef, core::kEnumCount> enum_classes(std::index_sequence<Id...>) {
    return {enum_class<Id>()...};
}
const std::array<ClassDef, core::kEnumCount> kEnumClasses =
    enum_classes(std::make_index_sequence<core::kEnumCount>{});

}  // namespace

Ref make_enum_class(PyObject* module, EnumId id) {
    const EnumDef& def = core::enum_def(id);
    ModuleState& state = module_state(module);
    Ref type = kEnumClasses[static_cast<std::size_t>(id)].make(module);
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    auto& members = state.members[static_cast<std::size_t>(id)];
    members.clear();
    for (std::size_t i = 0; i < def.variants.size(); ++i) {
        Ref member = alloc_instance(tp);
        as_enum(member.get())->id = id;
        as_enum(member.get())->index = static_cast<std::uint32_t>(i);
        std::string attr(def.variants[i].name);
        set_class_attribute(type.get(), attr.c_str(), member.get());
        members.push_back(std::move(member));
    }
    state.enum_types[static_cast<std::size_t>(id)] = tp;
    return type;
}

}  // namespace orvu::py
