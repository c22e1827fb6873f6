// TurnLedger and the tool-table functions.
#include "binding/enums.hpp"
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/turns.hpp"

namespace orvu::py {
namespace {

using LedgerObject = Wrapped<core::TurnLedger>;

// ---------------------------------------------------------------------------
// TurnLedger

// Reporting the outcome settles the turn like `settle`; a body of its own
// gives the method its own entry point.
Ref note_reported(core::TurnLedger& ledger, const BoundArgs&) {
    ledger.settle();
    return result::none();
}

constexpr Access X = Access::Exclusive, S = Access::Shared;

// ---------------------------------------------------------------------------
// Tool table functions: each call builds a fresh object.

Ref tool_effects(const BoundArgs& a) {
    return result::dict_of(core::tool_effects(), [&](const core::ToolEffect& tool) {
        return std::pair(result::str(tool.name), result::member(a.state(), core::EnumId::TurnEffect, tool.effect));
    });
}

Ref no_reply_tool_spec(const BoundArgs& a) {
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

}  // namespace

const ClassDef reg::TurnLedger = wrapped_class<LedgerObject, &default_new<LedgerObject>>(
    "TurnLedger()",
    "One agent turn's progress toward a reply. `record` takes a `TurnEffect`\n"
    "only; any other value raises `TypeError`.",
    {
        method<LedgerObject, X, &core::TurnLedger::record>("record(effect: TurnEffect) -> None",
            "Record the effect of a successful tool call. `effect` must be a `TurnEffect`."),
        method<LedgerObject, X, &core::TurnLedger::settle>("settle() -> None",
            "Mark the turn as settled without a tool effect."),
        method<LedgerObject, X, &note_reported>("note_reported() -> None",
            "Mark the turn as settled because its outcome was reported."),
        method<LedgerObject, S, &core::TurnLedger::reply_settled>("reply_settled() -> bool",
            "Whether a reply or a decline was recorded."),
        method<LedgerObject, S, &core::TurnLedger::verdict>("verdict() -> TurnVerdict",
            "`TurnVerdict.Complete` once anything beyond observation happened,\n"
            "otherwise `TurnVerdict.MissingReply`."),
    });

PyMethodDef reg::orvu_tool_effects = function<&tool_effects>("orvu_tool_effects() -> dict[str, TurnEffect]",
    "Every Orvu tool's canonical name and its `TurnEffect`.");
PyMethodDef reg::no_reply_tool = function<&no_reply_tool_spec>("no_reply_tool() -> ToolSpec",
    "`orvu_no_reply`'s definition as a `ToolSpec` dict.");
PyMethodDef reg::missing_reply_message = function<&core::missing_reply_message>("missing_reply_message() -> str",
    "The text shown to the room on `TurnVerdict.MissingReply`.");

}  // namespace orvu::py
