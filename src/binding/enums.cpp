#include "binding/enums.hpp"

#include "binding/args.hpp"
#include "binding/object.hpp"
#include "binding/registry.hpp"

#include <array>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace orvu::py {
namespace {

using core::EnumDef;
using core::EnumForm;
using core::EnumId;

struct EnumObject {
    PyObject_HEAD
    EnumId id;
    std::uint32_t index;
};

EnumObject* as_enum(PyObject* obj) noexcept { return reinterpret_cast<EnumObject*>(obj); }
const core::EnumVariant& variant_of(PyObject* obj) noexcept {
    return core::enum_def(as_enum(obj)->id).variants[as_enum(obj)->index];
}

// Per-class state made at import: the type, its members, and the texts the
// type spec and method defs point into (which must outlive the type).
struct EnumClass {
    PyTypeObject* type = nullptr;
    std::vector<PyObject*> members;
    std::string spec_name;
    std::string doc;
    std::string from_wire_callable;
    PyMethodDef from_wire_def{};
    std::array<PyType_Slot, 12> slots{};
    std::array<PyGetSetDef, 2> getset{};
    PyType_Spec spec{};
};

std::array<EnumClass, core::kEnumCount>& classes() {
    static std::array<EnumClass, core::kEnumCount> all;
    return all;
}

std::map<EnumId, PyMethodDef*>& extra_methods() {
    static std::map<EnumId, PyMethodDef*> extra;
    return extra;
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

PyObject* enum_int(PyObject* self) noexcept {
    return PyLong_FromUnsignedLong(as_enum(self)->index);
}

PyObject* enum_richcompare(PyObject* a, PyObject* b, int op) noexcept {
    if ((op == Py_EQ || op == Py_NE) && Py_TYPE(a) == Py_TYPE(b)) {
        bool equal = as_enum(a)->index == as_enum(b)->index;
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
    }
    return Ref::borrow(Py_NotImplemented).release();
}

void enum_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// from_wire_name is a staticmethod wrapping a builtin bound to the class's
// state record (a capsule), so one C function serves all classes.
PyObject* from_wire_name(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        auto* cls = static_cast<EnumClass*>(PyCapsule_GetPointer(capsule, "orvu_sdk_core.enum"));
        if (!cls) throw_error();
        Signature sig{cls->from_wire_callable.c_str(), {"name"}, 1, 1};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        std::string_view name = a.str(0);
        EnumId id = as_enum(cls->members.front())->id;
        auto index = core::enum_index_from_wire(id, name);
        if (!index) return none();
        return Ref::borrow(cls->members[*index]);
    });
}

Ref build_enum_class(PyObject* module, const EnumDef& def) {
    EnumClass& cls = classes()[static_cast<std::size_t>(def.id)];
    cls.spec_name = "orvu_sdk_core." + std::string(def.class_name);
    bool wire_form = def.form == EnumForm::WireName;
    const char* prop = wire_form ? "wire_name" : "value";
    cls.getset[0] = PyGetSetDef{prop, &enum_wire, nullptr, const_cast<char*>(def.wire_doc), nullptr};
    cls.getset[1] = PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};

    std::size_t n = 0;
    cls.slots[n++] = {Py_tp_repr, reinterpret_cast<void*>(&enum_repr)};
    cls.slots[n++] = {Py_tp_str, reinterpret_cast<void*>(&enum_str)};
    cls.slots[n++] = {Py_nb_int, reinterpret_cast<void*>(&enum_int)};
    cls.slots[n++] = {Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare)};
    cls.slots[n++] = {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)};
    cls.slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(&enum_dealloc)};
    cls.slots[n++] = {Py_tp_getset, cls.getset.data()};
    if (def.doc) cls.slots[n++] = {Py_tp_doc, const_cast<char*>(def.doc)};
    auto extra = extra_methods().find(def.id);
    if (extra != extra_methods().end()) cls.slots[n++] = {Py_tp_methods, extra->second};
    cls.slots[n++] = {0, nullptr};

    cls.spec = PyType_Spec{cls.spec_name.c_str(), static_cast<int>(sizeof(EnumObject)), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, cls.slots.data()};
    Ref type = make_type(module, &cls.spec);
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());

    cls.members.clear();
    for (std::size_t i = 0; i < def.variants.size(); ++i) {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
        Ref member = Ref::check(alloc(tp, 0));
        as_enum(member.get())->id = def.id;
        as_enum(member.get())->index = static_cast<std::uint32_t>(i);
        std::string attr(def.variants[i].name);
        if (PyObject_SetAttrString(type.get(), attr.c_str(), member.get()) < 0) throw_error();
        cls.members.push_back(member.release());  // kept for the life of the process
    }

    if (wire_form) {
        cls.from_wire_callable = std::string(def.class_name) + ".from_wire_name";
        cls.from_wire_def = PyMethodDef{
            "from_wire_name", fastcall(&from_wire_name),
            kFastCall,
            "from_wire_name(name)\n--\n\n"
            "The member whose wire name equals `name` exactly, or `None`."};
        Ref capsule = Ref::check(PyCapsule_New(&cls, "orvu_sdk_core.enum", nullptr));
        Ref fn = Ref::check(PyCFunction_NewEx(&cls.from_wire_def, capsule.get(), nullptr));
        Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
        Ref staticmethod = Ref::check(PyObject_GetAttrString(builtins.get(), "staticmethod"));
        Ref method = Ref::check(PyObject_CallFunctionObjArgs(staticmethod.get(), fn.get(), nullptr));
        if (PyObject_SetAttrString(type.get(), "from_wire_name", method.get()) < 0) throw_error();
    }
    cls.type = tp;
    Py_INCREF(type.get());  // the class table keeps its own reference
    return type;
}

struct RegisterAll {
    RegisterAll() {
        for (const EnumDef& def : core::all_enum_defs()) {
            static std::deque<ClassRegistration> regs;
            regs.emplace_back(def.class_name.data(),
                              [&def](PyObject* module) { return build_enum_class(module, def); });
        }
    }
};
const RegisterAll register_all;

}  // namespace

EnumMethods::EnumMethods(EnumId id, PyMethodDef* methods) { extra_methods()[id] = methods; }

PyObject* enum_member(EnumId id, std::size_t index) {
    auto& cls = classes()[static_cast<std::size_t>(id)];
    if (index >= cls.members.size()) raise(PyExc_SystemError, "enumeration member out of range");
    return cls.members[index];
}

std::optional<std::size_t> enum_index(PyObject* obj, EnumId id) noexcept {
    auto& cls = classes()[static_cast<std::size_t>(id)];
    if (!cls.type || Py_TYPE(obj) != cls.type) return std::nullopt;
    return as_enum(obj)->index;
}

PyTypeObject* enum_type(EnumId id) { return classes()[static_cast<std::size_t>(id)].type; }

}  // namespace orvu::py
