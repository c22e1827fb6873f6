// evaluate_drain_candidate / evaluate_adapter_result / evaluate_next_message.
#include "binding/convert.hpp"
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/decisions.hpp"

namespace orvu::py {
namespace {

Ref drain_decision(const BoundArgs& a) {
    const std::string_view agent_id = a.str(2);
    std::optional<core::JsonValue> json;  // the candidate's fields point into it
    std::optional<core::DrainCandidate> candidate;
    Ref id;
    if (a[0] != Py_None) {
        json = to_json(a.state(), a[0]);
        candidate = unwrap(core::read_drain_candidate(*json));
        id = result::str(candidate->id);
    }
    if (PyUnicode_Check(a[1])) raise_type_error("`seen_ids` must be an iterable of str, not a str");
    // Only membership of the one id is needed: the ids are compared as they come, not collected.
    const bool in_snapshot = a.str_items_contain(1, id.get());
    const core::DrainStep step = core::decide_drain(candidate ? &*candidate : nullptr, agent_id, in_snapshot);
    // The id as already made from the candidate's text.
    return result::dict(a.state(), {{Word::Decision, result::str(core::wire_of(step.decision))},
                                           {Word::MessageId, step.message_id ? id : Ref()}});
}

Ref adapter_decision(const BoundArgs& a) {
    // Checked as str, echoed back as given.
    a.str(0);
    a.str(1);
    const bool succeeded = a.boolean(2);
    return result::dict(a.state(), {{Word::Decision, result::str(core::wire_of(core::decide_adapter(succeeded)))},
                                    {Word::RoomId, result::plain_str(a[0])},
                                    {Word::MessageId, result::plain_str(a[1])}});
}

Ref next_message_decision(const BoundArgs& a) {
    const std::string_view triggering = a.str(0);
    const core::NextMessageStep step = core::decide_next_message(triggering, a.optional_str(1));
    // The next open id is echoed as given.
    return result::dict(a.state(), {{Word::Decision, result::str(core::wire_of(step.decision))},
                                           {Word::NextOpenId, step.next_open_id ? result::plain_str(a[1]) : Ref()}});
}

}  // namespace

PyMethodDef reg::evaluate_drain_candidate = function<&drain_decision>(
    "evaluate_drain_candidate(candidate: object | None, seen_ids: Iterable[str], agent_id: str) -> DrainDecision",
    "One step of the drain loop. `candidate` is a mapping with `id`,\n"
    "`sender_id`, `sender_type` (or `None` when the host's fetch returned no\n"
    "candidate); a malformed mapping raises `TypeError`.");
PyMethodDef reg::evaluate_adapter_result = function<&adapter_decision>(
    "evaluate_adapter_result(room_id: str, message_id: str, succeeded: bool) -> AdapterDecision",
    "Adapter outcome -> ack decision.");
PyMethodDef reg::evaluate_next_message = function<&next_message_decision>(
    "evaluate_next_message(triggering_message_id: str, next_message_id: str | None) -> NextMessageDecision",
    "Compares the triggering message against the platform's authoritative\n"
    "\"next open message\" for a room.");

}  // namespace orvu::py
