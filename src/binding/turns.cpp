// TurnLedger and the tool-table functions.
#include "binding/args.hpp"
#include "binding/enums.hpp"
#include "binding/object.hpp"
#include "binding/legacy.hpp"
#include "binding/registry.hpp"
#include "core/turns.hpp"

#include <memory>

namespace orvu::py {
namespace {

using LedgerObject = Wrapped<core::TurnLedger>;

void set_item(PyObject* dict, const char* key, Ref value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw_error();
}

// ---------------------------------------------------------------------------
// TurnLedger

core::TurnLedger& ledger(PyObject* self) noexcept { return LedgerObject::of(self); }
AccessFlag& flag(PyObject* self) noexcept { return LedgerObject::cast(self)->access; }

const Signature kNew{"TurnLedger.__new__", {}, 0, 0};
PyObject* ledger_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        bind(kNew, args, kwargs);
        return LedgerObject::create(type, std::make_unique<core::TurnLedger>());
    });
}

const Signature kRecord{"TurnLedger.record", {"effect"}, 1, 1};
PyObject* record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveAccess guard(flag(self));
        BoundArgs a = bind(kRecord, args, nargs, kwnames);
        a.instance(0, enum_type(core::EnumId::TurnEffect));
        auto index = enum_index(a[0], core::EnumId::TurnEffect);
        ledger(self).record(static_cast<core::TurnEffect>(*index));
        return none();
    });
}

// settle() and note_reported(): the host marks the turn settled without a table effect.
template <void (core::TurnLedger::*Mark)()>
PyObject* mark(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    return guarded([&] {
        ExclusiveAccess guard(flag(self));
        bind(sig, args, nargs, kwnames);
        (ledger(self).*Mark)();
        return none();
    });
}

const Signature kSettle{"TurnLedger.settle", {}, 0, 0};
PyObject* settle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return mark<&core::TurnLedger::settle>(kSettle, self, args, nargs, kwnames);
}

const Signature kNoteReported{"TurnLedger.note_reported", {}, 0, 0};
PyObject* note_reported(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return mark<&core::TurnLedger::note_reported>(kNoteReported, self, args, nargs, kwnames);
}

const Signature kReplySettled{"TurnLedger.reply_settled", {}, 0, 0};
PyObject* reply_settled(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        SharedAccess guard(flag(self));
        bind(kReplySettled, args, nargs, kwnames);
        return boolean(ledger(self).reply_settled());
    });
}

const Signature kVerdict{"TurnLedger.verdict", {}, 0, 0};
PyObject* verdict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        SharedAccess guard(flag(self));
        bind(kVerdict, args, nargs, kwnames);
        return enum_ref(core::EnumId::TurnVerdict, ledger(self).verdict());
    });
}

PyMethodDef ledger_methods[] = {
    {"record", fastcall(&record), kFastCall,
     "record($self, effect)\n--\n\n"
     "Record the effect of a successful tool call. `effect` must be a `TurnEffect`."},
    {"settle", fastcall(&settle), kFastCall,
     "settle($self)\n--\n\nMark the turn as settled without a tool effect."},
    {"note_reported", fastcall(&note_reported), kFastCall,
     "note_reported($self)\n--\n\nMark the turn as settled because its outcome was reported."},
    {"reply_settled", fastcall(&reply_settled), kFastCall,
     "reply_settled($self)\n--\n\nWhether a reply or a decline was recorded."},
    {"verdict", fastcall(&verdict), kFastCall,
     "verdict($self)\n--\n\n"
     "`TurnVerdict.Complete` once anything beyond observation happened,\n"
     "otherwise `TurnVerdict.MissingReply`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ledger_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&ledger_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&LedgerObject::dealloc)},
    {Py_tp_methods, ledger_methods},
    {Py_tp_doc, const_cast<char*>(
                    "TurnLedger()\n--\n\n"
                    "One agent turn's progress toward a reply. `record` takes a `TurnEffect`\n"
                    "only; any other value raises `TypeError`.")},
    {0, nullptr},
};

PyType_Spec ledger_spec = {
    "orvu_sdk_core.TurnLedger", static_cast<int>(sizeof(LedgerObject)), 0, Py_TPFLAGS_DEFAULT, ledger_slots,
};

// ---------------------------------------------------------------------------
// Tool table functions

const Signature kToolEffects{"orvu_tool_effects", {}, 0, 0};
PyObject* orvu_tool_effects(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        bind(kToolEffects, args, nargs, kwnames);
        Ref dict = Ref::check(PyDict_New());
        for (const auto& tool : core::tool_effects()) {
            Ref name = make_str(tool.name);
            Ref effect = enum_ref(core::EnumId::TurnEffect, tool.effect);
            if (PyDict_SetItem(dict.get(), name.get(), effect.get()) < 0) throw_error();
        }
        return dict;
    });
}

const Signature kNoReplyTool{"no_reply_tool", {}, 0, 0};
PyObject* no_reply_tool(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        bind(kNoReplyTool, args, nargs, kwnames);
        const core::ToolSpec& spec = core::no_reply_tool();
        Ref parameters = Ref::check(PyList_New(0));
        for (const auto& p : spec.parameters) {
            Ref param = Ref::check(PyDict_New());
            set_item(param.get(), "name", make_str(p.name));
            set_item(param.get(), "description", make_str(p.description));
            set_item(param.get(), "required", boolean(p.required));
            if (PyList_Append(parameters.get(), param.get()) < 0) throw_error();
        }
        Ref tool = Ref::check(PyDict_New());
        set_item(tool.get(), "name", make_str(spec.name));
        set_item(tool.get(), "description", make_str(spec.description));
        set_item(tool.get(), "parameters", std::move(parameters));
        return tool;
    });
}

const Signature kMissingReply{"missing_reply_message", {}, 0, 0};
PyObject* missing_reply_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        bind(kMissingReply, args, nargs, kwnames);
        return make_str(core::missing_reply_message());
    });
}

PyMethodDef tool_effects_def{"orvu_tool_effects", fastcall(&orvu_tool_effects), kFastCall,
                             "orvu_tool_effects()\n--\n\n"
                             "Every Orvu tool's canonical name and its `TurnEffect`."};
PyMethodDef no_reply_tool_def{"no_reply_tool", fastcall(&no_reply_tool), kFastCall,
                              "no_reply_tool()\n--\n\n"
                              "`orvu_no_reply`'s definition as a `ToolSpec` dict."};
PyMethodDef missing_reply_def{"missing_reply_message", fastcall(&missing_reply_message), kFastCall,
                              "missing_reply_message()\n--\n\n"
                              "The text shown to the room on `TurnVerdict.MissingReply`."};


}  // namespace

namespace reg {
Ref turn_ledger(PyObject* module) { return make_type(module, &ledger_spec); }
PyMethodDef* orvu_tool_effects() { return &tool_effects_def; }
PyMethodDef* no_reply_tool() { return &no_reply_tool_def; }
PyMethodDef* missing_reply_message() { return &missing_reply_def; }
}  // namespace reg

}  // namespace orvu::py
