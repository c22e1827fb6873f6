// The module: multi-phase initialisation with a per-interpreter state. The
// exec step builds the state, then creates every class of the table in its
// order and every function after them; each name is appended to `__all__`
// before the attribute is set.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/claims.hpp"
#include "core/delivery.hpp"

#include <array>
#include <new>
#include <string>

namespace orvu::py {
namespace {

using core::EnumId;

struct ClassEntry {
    const char* name;
    TypeId id;
    const ClassDef* def;  // nullptr for an enumeration
    EnumId enum_id;
};

struct FunctionEntry {
    const char* name;
    PyMethodDef* def;
};

// The tables walked by the exec step, expanded from the lists of
// registry.hpp: classes in registration order (the order of TypeId), then
// functions.
constexpr ClassEntry kClasses[] = {
#define ORVU_CLASS_ENTRY(Name) {#Name, TypeId::Name, &reg::Name, EnumId{}},
#define ORVU_ENUM_ENTRY(Name) {#Name, TypeId::Name, nullptr, EnumId::Name},
    ORVU_CLASSES(ORVU_CLASS_ENTRY, ORVU_ENUM_ENTRY)
#undef ORVU_CLASS_ENTRY
#undef ORVU_ENUM_ENTRY
};
static_assert(std::size(kClasses) == kTypeCount);

// The enumeration classes of the list are the core's enumerations, each once.
constexpr bool enums_listed_once() {
    std::array<int, core::kEnumCount> seen{};
#define ORVU_NOT_AN_ENUM(Name)
#define ORVU_SEE_ENUM(Name) ++seen[static_cast<std::size_t>(EnumId::Name)];
    ORVU_CLASSES(ORVU_NOT_AN_ENUM, ORVU_SEE_ENUM)
#undef ORVU_NOT_AN_ENUM
#undef ORVU_SEE_ENUM
    for (int count : seen) {
        if (count != 1) return false;
    }
    return true;
}
static_assert(enums_listed_once(), "every core enumeration is listed once as a class");

constexpr FunctionEntry kFunctions[] = {
#define ORVU_FUNCTION_ENTRY(name) {#name, &reg::name},
    ORVU_FUNCTIONS(ORVU_FUNCTION_ENTRY)
#undef ORVU_FUNCTION_ENTRY
};

void register_name(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = Ref::check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_error();
    }
    Ref text = make_str(name);
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        raise(PyExc_ImportError, "could not append __name__ to __all__");
    }
    if (PyObject_SetAttrString(module, name, value) < 0) throw_error();
}

StateBox* box_of(PyObject* module) noexcept { return static_cast<StateBox*>(PyModule_GetState(module)); }

ModuleState* live_state(PyObject* module) noexcept {
    StateBox* box = box_of(module);
    return box && box->alive ? reinterpret_cast<ModuleState*>(box->storage) : nullptr;
}

// The template of each result shape: its keys in order, each with its
// fixed value (a word) or None (Word::Count_) where the value varies.
struct ShapeEntry {
    Shape shape;
    std::initializer_list<std::pair<Word, Word>> fields;
};
constexpr Word kVaries = Word::Count_;
const ShapeEntry kShapes[] = {
    {Shape::ProcessedSettlement,
     {{Word::Token, kVaries}, {Word::Status, Word::Processed}, {Word::Parked, kVaries}, {Word::Continuation, kVaries}}},
    {Shape::FailedSettlement,
     {{Word::Token, kVaries}, {Word::Status, Word::Failed}, {Word::Error, kVaries}, {Word::Parked, kVaries},
      {Word::Continuation, kVaries}}},
    {Shape::FinishedContinuation, {{Word::Kind, Word::Finished}}},
};
static_assert(std::size(kShapes) == kShapeCount, "one template per shape");
static_assert(std::tuple_size_v<decltype(ModuleState::eligibility_words)> == core::kEligibilityCount,
              "one word per eligibility");

int module_exec(PyObject* module) noexcept {
    return guarded_int([&] {
        StateBox* box = box_of(module);
        ModuleState* state = new (box->storage) ModuleState();
        box->alive = true;
        // The project version (pyproject.toml, via the build); not part of __all__.
        if (PyModule_AddStringConstant(module, "__version__", ORVU_VERSION) < 0) throw_error();
        Ref abc = Ref::check(PyImport_ImportModule("collections.abc"));
        state->mapping_abc = Ref::check(PyObject_GetAttrString(abc.get(), "Mapping"));
        state->sequence_abc = Ref::check(PyObject_GetAttrString(abc.get(), "Sequence"));
        auto interned = [](std::string_view text) {
            PyObject* word = make_str(text).release();
            PyUnicode_InternInPlace(&word);
            return Ref::steal(word);
        };
        for (std::size_t i = 0; i < kWordCount; ++i) state->words[i] = interned(kWordTexts[i]);
        for (std::size_t i = 0; i < state->eligibility_words.size(); ++i) {
            state->eligibility_words[i] = interned(core::eligibility_word(static_cast<core::Eligibility>(i)));
        }
        for (std::size_t r = 0; r + 1 < state->route_words.size(); ++r) {
            state->route_words[r] = interned(core::route_shape(static_cast<core::Route>(r)).decision);
        }
        state->route_words.back() = interned("chat_room_id");
        for (const ShapeEntry& entry : kShapes) {
            Ref d = Ref::check(PyDict_New());
            for (const auto& [key, value] : entry.fields) {
                PyObject* v = value == Word::Count_ ? Py_None : state->word(value);
                if (PyDict_SetItem(d.get(), state->word(key), v) < 0) throw_error();
            }
            state->shapes[static_cast<std::size_t>(entry.shape)] = d;
        }
        for (const ClassEntry& entry : kClasses) {
            Ref type = entry.def ? entry.def->make(module) : make_enum_class(module, entry.enum_id);
            state->types[static_cast<std::size_t>(entry.id)] = type;
            register_name(module, entry.name, type.get());
        }
        Ref module_name = make_str("orvu_sdk_core");
        for (const FunctionEntry& entry : kFunctions) {
            Ref fn = Ref::check(PyCFunction_NewEx(entry.def, module, module_name.get()));
            register_name(module, entry.name, fn.get());
        }
        return 0;
    });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = live_state(module);
    return state ? state->traverse(visit, arg) : 0;
}

int module_clear(PyObject* module) {
    if (ModuleState* state = live_state(module)) state->clear();
    return 0;
}

void module_free(void* module) {
    if (ModuleState* state = live_state(static_cast<PyObject*>(module))) {
        state->clear();
        state->~ModuleState();
        box_of(static_cast<PyObject*>(module))->alive = false;
    }
}

// The limited API 3.11 headers do not define these; their values are those
// of the 3.12 headers: slot Py_mod_multiple_interpreters (3) with
// Py_MOD_PER_INTERPRETER_GIL_SUPPORTED (2). 3.11 refuses unknown slots, so
// there the list ends before that slot (PyInit).
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {3, reinterpret_cast<void*>(2)},
    {0, nullptr},
};

constexpr const char* kDoc =
    "Decision core of the agent SDK: reconnect policy, event validation and\n"
    "routing, delivery ledger, membership, pending asks, turn accounting and\n"
    "the memory taxonomy. It performs no I/O; the host drives every call.";

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "orvu_sdk_core", kDoc, static_cast<Py_ssize_t>(sizeof(StateBox)), nullptr,
    slots, &module_traverse, &module_clear, &module_free,
};

}  // namespace

// Every reference of the state, the types last (cleared after what they hold).
template <class State, class F>
void for_each_ref(State& s, F&& f) {
    for (auto& list : s.members) {
        for (auto& member : list) f(member);
    }
    for (auto& word : s.words) f(word);
    for (auto& shape : s.shapes) f(shape);
    for (auto& word : s.eligibility_words) f(word);
    for (auto& word : s.route_words) f(word);
    f(s.mapping_abc);
    f(s.sequence_abc);
    for (auto& type : s.types) f(type);
}

int ModuleState::traverse(visitproc visit, void* arg) const {
    int stop = 0;
    for_each_ref(*this, [&](const Ref& r) { stop = stop ? stop : (r ? visit(r.get(), arg) : 0); });
    return stop;
}

void ModuleState::clear() noexcept {
    enum_types.fill(nullptr);
    for_each_ref(*this, [](Ref& r) { r = nullptr; });
    for (auto& list : members) std::vector<Ref>().swap(list);
}

ModuleState& module_state(PyObject* module) noexcept { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

namespace {
std::string with_text_signature(const Declaration& d, std::string_view doc) {
    std::string text;
    text.reserve(d.text_signature.size() + 5 + doc.size());
    if (!d.text_signature.empty()) (text += d.text_signature) += "\n--\n\n";
    return text += doc;
}
}  // namespace

void record(std::string_view owner, std::string_view declaration, std::string_view doc) {
    if constexpr (kRecordSurface) surface().push_back({std::string(owner), std::string(declaration), std::string(doc)});
}

Row make_row(std::string_view owner, std::string_view declaration, std::string_view doc, Signature& slot,
             PyCFunction entry, bool collect_keywords) {
    Declaration d = parse_declaration(declaration, owner);
    slot = std::move(d.signature);
    if (collect_keywords) {
        // The keyword-only parameters are documented, then read as one group by the body.
        slot.params.resize(slot.positional);
        slot.required = std::min(slot.required, slot.positional);
        slot.var_keywords = true;
    }
    Row row{{keep(d.name), entry, kFastCall | (d.is_static ? METH_STATIC : 0), keep(with_text_signature(d, doc))},
            &slot, {}, {}};
    if constexpr (kRecordSurface) {
        row.declaration = declaration;
        row.doc = doc;
        if (owner.empty()) record("", declaration, doc);
    }
    return row;
}

ClassDef class_def(std::string_view declaration, std::string_view doc, int basicsize, void* new_entry,
                   Methods methods, Getters getters, std::vector<PyType_Slot> slots) {
    const Declaration d = parse_declaration(declaration);
    const std::string name = d.is_static ? d.owner : d.name;
    ClassDef c{"orvu_sdk_core." + name, with_text_signature(d, doc), basicsize, new_entry, {}, {}, {},
               std::move(slots)};
    record("", declaration, doc);
    for (Row& row : methods) {
        // Named now that the class is known: "Class.method".
        row.signature->callable = name + "." + row.def.ml_name;
        record(name, row.declaration, row.doc);
        (row.def.ml_flags & METH_STATIC ? c.statics : c.methods).push_back(row.def);
    }
    for (PyMethodDef& row : c.statics) row.ml_flags &= ~METH_STATIC;
    for (PropertyRow& row : getters) {
        record(name, row.declaration, row.def.doc ? row.def.doc : "");
        c.getters.push_back(row.def);
    }
    c.methods.push_back({nullptr, nullptr, 0, nullptr});
    c.getters.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    return c;
}

Ref static_method(const Ref& fn) {
    // The builtins of the import that runs this (a borrowed dict).
    PyObject* staticmethod = PyDict_GetItemString(PyEval_GetBuiltins(), "staticmethod");
    if (!staticmethod) raise(PyExc_SystemError, "builtins.staticmethod not found");
    return Ref::check(PyObject_CallFunctionObjArgs(staticmethod, fn.get(), nullptr));
}

Ref ClassDef::make(PyObject* module) const {
    std::vector<PyType_Slot> all(slots);
    if (!doc.empty()) all.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
    if (new_entry) all.push_back({Py_tp_new, new_entry});
    if (methods.size() > 1) all.push_back({Py_tp_methods, const_cast<PyMethodDef*>(methods.data())});
    if (getters.size() > 1) all.push_back({Py_tp_getset, const_cast<PyGetSetDef*>(getters.data())});
    all.push_back({0, nullptr});
    const unsigned flags = kClassFlags | (new_entry ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION);
    PyType_Spec spec{spec_name.c_str(), basicsize, 0, flags, all.data()};
    Ref type = make_type(module, &spec);
    // A static method is a module function stored on its class: its builtin
    // is bound to the module (so it finds the module's state, and
    // introspection sees a plain static function), wrapped in a staticmethod
    // (a METH_STATIC entry of tp_methods would receive NULL and could not
    // find the module's state).
    for (const PyMethodDef& row : statics) {
        Ref fn = Ref::check(PyCFunction_NewEx(const_cast<PyMethodDef*>(&row), module, nullptr));
        set_class_attribute(type.get(), row.ml_name, static_method(fn).get());
    }
    return type;
}

// Why this is sound, though the 3.11 limited API has no call that adds an
// attribute to an immutable type:
// - Only a type that `make_type` has just made, and that is not yet published
//   (not in the module, held by no Python code), comes here: from the moment
//   Python can reach it, type.__setattr__ refuses every change
//   (Py_TPFLAGS_IMMUTABLETYPE), so its namespace is fixed before anyone reads it.
// - For the generic setter a type object's instance dict is the type's own
//   namespace: PyType_Type's dict offset is that of tp_dict on 3.11, 3.12 and
//   3.13 alike (heap types keep their dict there; only static built-in types
//   moved theirs into the interpreter), so the value lands where
//   type.__setattr__ would put it once past its immutability check.
// - Lookups of a type are cached by its version tag (the per-interpreter type
//   cache from 3.12 on, the shared one of 3.11, and the specialised attribute
//   loads); PyType_Modified drops the tag, so nothing the type's creation may
//   have cached survives the change, exactly as after type.__setattr__.
// - Each interpreter's import builds its own types from the shared specs, so
//   the type changed here belongs to the calling interpreter alone, which holds
//   its own GIL while it runs this.
void set_class_attribute(PyObject* type, const char* name, PyObject* value) {
    // Class attribute names are interned, as type.__setattr__ interns them.
    Ref key = Ref::check(PyUnicode_InternFromString(name));
    // The generic setter would hand a name that `type` itself defines to
    // that attribute of the metatype instead of the class's dict.
    if (PyObject_HasAttr(reinterpret_cast<PyObject*>(&PyType_Type), key.get())) {
        raise(PyExc_SystemError, std::string("class attribute shadowed by type.") + name);
    }
    if (PyObject_GenericSetAttr(type, key.get(), value) < 0) throw_error();
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
}

Ref make_type(PyObject* module, PyType_Spec* spec) {
    return Ref::check(PyType_FromModuleAndSpec(module, spec, nullptr));
}

}  // namespace orvu::py

PyMODINIT_FUNC PyInit_orvu_sdk_core() {
    using namespace orvu::py;
    if (Py_Version < 0x030C0000) slots[1] = {0, nullptr};
    return PyModuleDef_Init(&def);
}
