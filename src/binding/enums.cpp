#include "binding/enums.hpp"

#include "binding/method.hpp"
#include "binding/registry.hpp"

#include <array>
#include <string>
#include <utility>

namespace orvu::py {
namespace {

using core::EnumDef;
using core::EnumForm;
using core::EnumId;

EnumObject* as_enum(PyObject* obj) noexcept { return reinterpret_cast<EnumObject*>(obj); }
const core::EnumVariant& variant_of(PyObject* obj) noexcept {
    return core::enum_def(as_enum(obj)->id).variants[as_enum(obj)->index];
}

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

PyObject* enum_wire(PyObject* self, void*) noexcept { return enum_str(self); }

PyObject* enum_int(PyObject* self) noexcept { return PyLong_FromUnsignedLong(as_enum(self)->index); }

PyObject* enum_richcompare(PyObject* a, PyObject* b, int op) noexcept {
    if ((op == Py_EQ || op == Py_NE) && Py_TYPE(a) == Py_TYPE(b)) {
        bool equal = as_enum(a)->index == as_enum(b)->index;
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
    }
    return Ref::borrow(Py_NotImplemented).release();
}

// Members are tracked by the collector, so that the cycle class -> member
// (a class attribute) -> class, and through the class the module and its
// state, can be collected once the module is dropped. The class is
// immutable: its members are put into its namespace while it is built
// (`set_class_attribute`), before anything else can see it.
int enum_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void enum_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// from_wire_name: a staticmethod wrapping a builtin bound to the module, like
// every module function; one instance of the C function per class says which
// enumeration it reads.
template <std::size_t Id>
PyObject* from_wire_name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

template <std::size_t... Id>
auto from_wire_functions(std::index_sequence<Id...>) {
    return std::array{fastcall(&from_wire_name<Id>)...};
}

// What a class's type spec points into. Type specs must outlive their
// types, and the texts are the same in every interpreter, so each class's
// record is built once per process (thread-safe static initialisation) and
// never changes afterwards; it holds no Python object.
struct EnumSpec {
    std::string spec_name;
    Signature from_wire_signature;
    PyMethodDef from_wire_def{};
    std::array<PyMethodDef, 2> methods{};
    std::array<PyType_Slot, 12> slots{};
    std::array<PyGetSetDef, 2> getset{};
    PyType_Spec spec{};
};

void fill_spec(EnumSpec& s, const EnumDef& def) {
    s.spec_name = "orvu_sdk_core." + std::string(def.class_name);
    const Declaration d = parse_declaration(kFromWireDeclaration, def.class_name);
    s.from_wire_signature = d.signature;
    static const auto functions = from_wire_functions(std::make_index_sequence<core::kEnumCount>{});
    static const std::string doc = d.text_signature + "\n--\n\n" + kFromWireDoc;
    s.from_wire_def = PyMethodDef{"from_wire_name", functions[static_cast<std::size_t>(def.id)], kFastCall,
                                  doc.c_str()};
    s.methods[0] = reg::agent_topic_kind_topic;
    const char* prop = def.form == EnumForm::WireName ? "wire_name" : "value";
    s.getset[0] = PyGetSetDef{prop, &enum_wire, nullptr, const_cast<char*>(def.wire_doc), nullptr};
    s.getset[1] = PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};
    std::size_t n = 0;
    s.slots[n++] = {Py_tp_repr, reinterpret_cast<void*>(&enum_repr)};
    s.slots[n++] = {Py_tp_str, reinterpret_cast<void*>(&enum_str)};
    s.slots[n++] = {Py_nb_int, reinterpret_cast<void*>(&enum_int)};
    s.slots[n++] = {Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare)};
    s.slots[n++] = {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)};
    s.slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(&enum_dealloc)};
    s.slots[n++] = {Py_tp_traverse, reinterpret_cast<void*>(&enum_traverse)};
    s.slots[n++] = {Py_tp_getset, s.getset.data()};
    if (def.doc) s.slots[n++] = {Py_tp_doc, const_cast<char*>(def.doc)};
    if (def.id == EnumId::AgentTopicKind) s.slots[n++] = {Py_tp_methods, s.methods.data()};
    s.slots[n++] = {0, nullptr};
    s.spec = PyType_Spec{s.spec_name.c_str(), static_cast<int>(sizeof(EnumObject)), 0,
                         kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         s.slots.data()};
}

const std::array<EnumSpec, core::kEnumCount>& enum_specs() {
    static const std::array<EnumSpec, core::kEnumCount> specs = [] {
        std::array<EnumSpec, core::kEnumCount> all;
        for (const EnumDef& def : core::all_enum_defs()) fill_spec(all[static_cast<std::size_t>(def.id)], def);
        return all;
    }();
    return specs;
}

template <std::size_t Id>
PyObject* from_wire_name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        ModuleState& state = module_state(module);
        const BoundArgs a(enum_specs()[Id].from_wire_signature, args, nargs, kwnames, &state);
        auto index = core::enum_index_from_wire(static_cast<EnumId>(Id), a.str(0));
        return index ? state.members[Id][*index] : none();
    });
}

}  // namespace

Ref make_enum_class(PyObject* module, EnumId id) {
    const EnumDef& def = core::enum_def(id);
    const EnumSpec& spec = enum_specs()[static_cast<std::size_t>(id)];
    ModuleState& state = module_state(module);
    Ref type = make_type(module, const_cast<PyType_Spec*>(&spec.spec));
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());

    auto& members = state.members[static_cast<std::size_t>(id)];
    members.clear();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    for (std::size_t i = 0; i < def.variants.size(); ++i) {
        Ref member = Ref::check(alloc(tp, 0));
        as_enum(member.get())->id = id;
        as_enum(member.get())->index = static_cast<std::uint32_t>(i);
        std::string attr(def.variants[i].name);
        set_class_attribute(type.get(), attr.c_str(), member.get());
        members.push_back(std::move(member));
    }
    state.enum_types[static_cast<std::size_t>(id)] = tp;

    if (def.form == EnumForm::WireName) {
        Ref fn = Ref::check(PyCFunction_NewEx(const_cast<PyMethodDef*>(&spec.from_wire_def), module, nullptr));
        set_class_attribute(type.get(), "from_wire_name", static_method(fn).get());
    }
    return type;
}

}  // namespace orvu::py
