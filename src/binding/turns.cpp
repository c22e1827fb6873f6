// TurnLedger and the tool-table functions.
#include "binding/enums.hpp"
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/turns.hpp"


namespace orvu::py {
namespace {

using LedgerObject = Wrapped<core::TurnLedger>;
using core::TurnLedger;

// ---------------------------------------------------------------------------
// TurnLedger

const Signature kNew{"TurnLedger.__new__", {}, 0, 0};

PyMethodDef ledger_methods[] = {
    core_method<LedgerObject, Access::Exclusive, &TurnLedger::record>("TurnLedger",
     "record($self, effect)\n--\n\n"
     "Record the effect of a successful tool call. `effect` must be a `TurnEffect`."),
    core_method<LedgerObject, Access::Exclusive, &TurnLedger::settle>("TurnLedger",
     "settle($self)\n--\n\nMark the turn as settled without a tool effect."),
    core_method<LedgerObject, Access::Exclusive, &TurnLedger::note_reported>("TurnLedger",
     "note_reported($self)\n--\n\nMark the turn as settled because its outcome was reported."),
    core_method<LedgerObject, Access::Shared, &TurnLedger::reply_settled>("TurnLedger",
     "reply_settled($self)\n--\n\nWhether a reply or a decline was recorded."),
    core_method<LedgerObject, Access::Shared, &TurnLedger::verdict>("TurnLedger",
     "verdict($self)\n--\n\n"
     "`TurnVerdict.Complete` once anything beyond observation happened,\n"
     "otherwise `TurnVerdict.MissingReply`."),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Tool table functions: each call builds a fresh object.

Ref orvu_tool_effects(const BoundArgs& a) {
    return result::dict_of(core::tool_effects(), [&](const core::ToolEffect& tool) {
        return std::pair(result::str(tool.name), result::member(a.state(), core::EnumId::TurnEffect, tool.effect));
    });
}

Ref no_reply_tool(const BoundArgs& a) {
    const ModuleState& state = a.state();
    const core::ToolSpec& spec = core::no_reply_tool();
    Ref parameters = result::list(spec.parameters, [&](const core::ToolParameter& p) {
        return result::dict(state, {{Word::Name, result::str(p.name)},
                                    {Word::Description, result::str(p.description)},
                                    {Word::Required, result::boolean(p.required)}});
    });
    return result::dict(state, {{Word::Name, result::str(spec.name)},
                                {Word::Description, result::str(spec.description)},
                                {Word::Parameters, std::move(parameters)}});
}

PyMethodDef tool_effects_def = function<&orvu_tool_effects>(
    "orvu_tool_effects()\n--\n\n"
    "Every Orvu tool's canonical name and its `TurnEffect`.");
PyMethodDef no_reply_tool_def = function<&no_reply_tool>(
    "no_reply_tool()\n--\n\n"
    "`orvu_no_reply`'s definition as a `ToolSpec` dict.");
PyMethodDef missing_reply_def = core_function<&core::missing_reply_message>(
    "missing_reply_message()\n--\n\n"
    "The text shown to the room on `TurnVerdict.MissingReply`.");

}  // namespace

Ref reg::turn_ledger(PyObject* module) {
    return wrapped_class<LedgerObject>(
        module, "orvu_sdk_core.TurnLedger",
        "TurnLedger()\n--\n\n"
        "One agent turn's progress toward a reply. `record` takes a `TurnEffect`\n"
        "only; any other value raises `TypeError`.",
        {{Py_tp_new, constructor<kNew, &default_new<LedgerObject>>()},
         {Py_tp_methods, ledger_methods}});
}
PyMethodDef* reg::orvu_tool_effects() { return &tool_effects_def; }
PyMethodDef* reg::no_reply_tool() { return &no_reply_tool_def; }
PyMethodDef* reg::missing_reply_message() { return &missing_reply_def; }

}  // namespace orvu::py
