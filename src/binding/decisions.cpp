// evaluate_drain_candidate / evaluate_adapter_result / evaluate_next_message.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/legacy.hpp"
#include "binding/registry.hpp"
#include "core/decisions.hpp"

#include <initializer_list>
#include <optional>
#include <utility>
#include <variant>

namespace orvu::py {
namespace {

using Entry = std::pair<const char*, PyObject*>;

// A fresh dict with the entries inserted in the order given.
Ref decision_dict(std::initializer_list<Entry> entries) {
    Ref dict = Ref::check(PyDict_New());
    for (const auto& [key, value] : entries) {
        if (PyDict_SetItemString(dict.get(), key, value) < 0) throw_error();
    }
    return dict;
}

// A str argument as it goes back into a result: exact strs are immutable and
// can be shared; a subclass instance is copied into a plain str.
Ref plain_str(PyObject* obj, std::string_view text) {
    if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
    return make_str(text);
}

// Walks `seen_ids`, checking that every element is a str, and reports
// whether `id` (when given) is among them. Only membership of the one id is
// needed, so the elements are compared as they come rather than collected.
bool scan_seen_ids(const BoundArgs& a, std::size_t i, PyObject* id) {
    PyObject* seen = a[i];
    if (PyUnicode_Check(seen)) raise_type_error("`seen_ids` must be an iterable of str, not a str");
    Ref iter = Ref::steal(PyObject_GetIter(seen));
    if (!iter) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();
        a.wrong_type(i, "an iterable of str");
    }
    bool found = false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(item.get())) {
            raise_type_error(std::string(a.callable()) + "() argument '" + a.name(i) +
                             "' must contain only str, not " + type_name_of(item.get()));
        }
        if (id && !found) {
            // Compares code points directly, never a subclass's own __eq__.
            int order = PyUnicode_Compare(id, item.get());
            if (order == -1 && PyErr_Occurred()) throw_error();
            found = order == 0;
        }
    }
    if (PyErr_Occurred()) throw_error();
    return found;
}

const Signature kDrain{"evaluate_drain_candidate", {"candidate", "seen_ids", "agent_id"}, 3, 3};
PyObject* evaluate_drain_candidate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kDrain, args, nargs, kwnames);
        std::string_view agent_id = a.str(2);

        std::optional<core::JsonValue> json;
        std::optional<core::DrainCandidate> candidate;
        Ref id;
        if (a[0] != Py_None) {
            json = to_json(a[0]);
            auto read = core::read_drain_candidate(*json);
            if (auto* error = std::get_if<core::CandidateFieldError>(&read)) raise_type_error(error->message());
            candidate = std::get<core::DrainCandidate>(read);
            id = make_str(candidate->id);
        }

        bool in_snapshot = scan_seen_ids(a, 1, id.get());
        core::DrainDecision decision =
            core::decide_drain(candidate ? &*candidate : nullptr, agent_id, in_snapshot);

        Ref wire = make_str(core::wire_of(decision));
        if (!candidate) return decision_dict({{"decision", wire.get()}});
        return decision_dict({{"decision", wire.get()}, {"message_id", id.get()}});
    });
}

const Signature kAdapter{"evaluate_adapter_result", {"room_id", "message_id", "succeeded"}, 3, 3};
PyObject* evaluate_adapter_result(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kAdapter, args, nargs, kwnames);
        std::string_view room_id = a.str(0);
        std::string_view message_id = a.str(1);
        bool succeeded = a.boolean(2);

        Ref wire = make_str(core::wire_of(core::decide_adapter(succeeded)));
        Ref room = plain_str(a[0], room_id);
        Ref message = plain_str(a[1], message_id);
        return decision_dict({{"decision", wire.get()}, {"room_id", room.get()}, {"message_id", message.get()}});
    });
}

const Signature kNextMessage{"evaluate_next_message", {"triggering_message_id", "next_message_id"}, 2, 2};
PyObject* evaluate_next_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kNextMessage, args, nargs, kwnames);
        std::string_view triggering = a.str(0);
        std::optional<std::string_view> next = a.optional_str(1);

        core::NextMessageDecision decision = core::decide_next_message(triggering, next);
        Ref wire = make_str(core::wire_of(decision));
        if (decision != core::NextMessageDecision::AlreadyProcessed) return decision_dict({{"decision", wire.get()}});
        Ref next_open = plain_str(a[1], *next);
        return decision_dict({{"decision", wire.get()}, {"next_open_id", next_open.get()}});
    });
}

PyMethodDef drain_def{
    "evaluate_drain_candidate",
    fastcall(&evaluate_drain_candidate),
    kFastCall,
    "evaluate_drain_candidate(candidate, seen_ids, agent_id)\n--\n\n"
    "One step of the drain loop. `candidate` is a mapping with `id`,\n"
    "`sender_id`, `sender_type` (or `None` when the host's fetch returned no\n"
    "candidate); a malformed mapping raises `TypeError`."};
PyMethodDef adapter_def{
    "evaluate_adapter_result",
    fastcall(&evaluate_adapter_result),
    kFastCall,
    "evaluate_adapter_result(room_id, message_id, succeeded)\n--\n\n"
    "Adapter outcome -> ack decision."};
PyMethodDef next_message_def{
    "evaluate_next_message",
    fastcall(&evaluate_next_message),
    kFastCall,
    "evaluate_next_message(triggering_message_id, next_message_id)\n--\n\n"
    "Compares the triggering message against the platform's authoritative\n"
    "\"next open message\" for a room."};


}  // namespace

namespace reg {
PyMethodDef* evaluate_drain_candidate() { return &drain_def; }
PyMethodDef* evaluate_adapter_result() { return &adapter_def; }
PyMethodDef* evaluate_next_message() { return &next_message_def; }
}  // namespace reg

}  // namespace orvu::py
