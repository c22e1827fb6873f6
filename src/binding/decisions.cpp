// evaluate_drain_candidate / evaluate_adapter_result / evaluate_next_message.
#include "binding/convert.hpp"
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/decisions.hpp"

namespace orvu::py {
namespace {

Ref evaluate_drain_candidate(const BoundArgs& a) {
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
    return result::sparse_dict(a.state(), {{Word::Decision, result::str(core::wire_of(step.decision))},
                                           {Word::MessageId, step.message_id ? id : Ref()}});
}

Ref evaluate_adapter_result(const BoundArgs& a) {
    // Checked as str, echoed back as given.
    a.str(0);
    a.str(1);
    const bool succeeded = a.boolean(2);
    return result::dict(a.state(), {{Word::Decision, result::str(core::wire_of(core::decide_adapter(succeeded)))},
                                    {Word::RoomId, result::plain_str(a[0])},
                                    {Word::MessageId, result::plain_str(a[1])}});
}

Ref evaluate_next_message(const BoundArgs& a) {
    const std::string_view triggering = a.str(0);
    const core::NextMessageStep step = core::decide_next_message(triggering, a.optional_str(1));
    // The next open id is echoed as given.
    return result::sparse_dict(a.state(), {{Word::Decision, result::str(core::wire_of(step.decision))},
                                           {Word::NextOpenId, step.next_open_id ? result::plain_str(a[1]) : Ref()}});
}

PyMethodDef defs[] = {
    function<&evaluate_drain_candidate>(
        "evaluate_drain_candidate(candidate, seen_ids, agent_id)\n--\n\n"
        "One step of the drain loop. `candidate` is a mapping with `id`,\n"
        "`sender_id`, `sender_type` (or `None` when the host's fetch returned no\n"
        "candidate); a malformed mapping raises `TypeError`."),
    function<&evaluate_adapter_result>(
        "evaluate_adapter_result(room_id, message_id, succeeded)\n--\n\n"
        "Adapter outcome -> ack decision."),
    function<&evaluate_next_message>(
        "evaluate_next_message(triggering_message_id, next_message_id)\n--\n\n"
        "Compares the triggering message against the platform's authoritative\n"
        "\"next open message\" for a room."),
};

}  // namespace

PyMethodDef* reg::evaluate_drain_candidate() { return &defs[0]; }
PyMethodDef* reg::evaluate_adapter_result() { return &defs[1]; }
PyMethodDef* reg::evaluate_next_message() { return &defs[2]; }

}  // namespace orvu::py
