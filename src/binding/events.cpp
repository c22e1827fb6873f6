// validate_event_payload, evaluate_delivery_event, is_self_echo.
#include "binding/convert.hpp"
#include "binding/enums.hpp"
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "binding/text.hpp"
#include "core/delivery.hpp"
#include "core/events.hpp"

namespace orvu::py {
namespace {

// The UTF-8 text of an event name. A str that has none (lone surrogates, as
// a JSON escape can produce) is spelled with backslash escapes, which no wire
// name has: it names no event rather than failing to encode.
std::string event_name(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text) return std::string(text, static_cast<std::size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
    PyErr_Clear();
    Ref escaped = Ref::check(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    char* bytes = nullptr;
    if (PyBytes_AsStringAndSize(escaped.get(), &bytes, &size) < 0) throw_error();
    return std::string(bytes, static_cast<std::size_t>(size));
}

// An EventType member, or a str holding a wire name.
core::Outcome<core::EventType> event_type_arg(const BoundArgs& a) {
    if (auto index = enum_index(a.state(), a[0], core::EnumId::EventType)) {
        return static_cast<core::EventType>(*index);
    }
    if (!PyUnicode_Check(a[0])) raise_type_error("event_type must be a str");
    return core::event_type_named(event_name(a[0]));
}

Ref validated_payload(const BoundArgs& a) {
    // trace_context first: an unknown event name already reports through it.
    PyObject* trace_context = a.optional_str_object(2);
    const core::EventType type = unwrap(event_type_arg(a), trace_context);
    core::Outcome<Ref> payload = validate_payload(a.state(), type, a[1]);
    return payload.ok() ? std::move(payload).value() : refused(payload.refusal(), trace_context);
}

// The key of each RouteField in a decision dict.
constexpr Word kFieldWords[] = {Word::RoomId, Word::MessageId, Word::SenderId, Word::SenderType, Word::EventType};

// A decision's value: the exact str it came from when it holds the same text
// (the envelope's room, or the payload's member under `key`), else a new str.
Ref field_str(PyObject* envelope, PyObject* payload, PyObject* key, const std::string& text) {
    for (PyObject* from : {envelope, key ? PyDict_GetItem(payload, key) : nullptr}) {
        if (from && PyUnicode_CheckExact(from) && utf8_view(from) == text) return Ref::borrow(from);
    }
    return result::str(text);
}

// The decision for the event named by argument 0, which an ignored decision
// echoes as given (as a plain str), even a name without UTF-8 text. A key
// is looked up in the payload only when that runs no Python code.
Ref decision_dict(const BoundArgs& a, const core::DeliveryDecision& decision, bool plain_keys) {
    const ModuleState& state = a.state();
    const core::RouteShape& shape = core::route_shape(decision.route);
    const bool lookup = plain_keys && PyDict_CheckExact(a[2]);
    Ref dict = result::dict(state, {{Word::Decision, Ref::borrow(state.route_words[static_cast<std::size_t>(decision.route)].get())}});
    for (core::RouteField field : shape.fields) {
        const Word key = kFieldWords[static_cast<std::size_t>(field)];
        PyObject* from = key == Word::RoomId ? (decision.route == core::Route::Cleanup ? state.word(Word::Id) : state.route_words.back().get())
                                             : key == Word::MessageId ? state.word(Word::Id) : state.word(key);
        result::add(state, dict, key,
                    key == Word::EventType ? result::plain_str(a[0])
                                           : field_str(a[1], a[2], lookup ? from : nullptr, decision.field(field)));
    }
    return dict;
}

Ref delivery_decision(const BoundArgs& a) {
    if (!PyUnicode_Check(a[0])) a.wrong_type(0, "str");
    const std::string event_type = event_name(a[0]);
    const std::optional<std::string_view> room_id = a.optional_str(1);
    const std::string_view agent_id = a.str(3);
    PyObject* trace_context = a.optional_str_object(4);
    bool plain_keys = false;
    auto decision = route_payload(a.state(), event_type, room_id, a[2], agent_id, plain_keys);
    return decision.ok() ? decision_dict(a, decision.value(), plain_keys) : refused(decision.refusal(), trace_context);
}

}  // namespace

// The return type is refined per wire name by the stubs' generated overloads.
PyMethodDef reg::validate_event_payload = function<&validated_payload>(
    "validate_event_payload(event_type: str | EventType, raw: object, trace_context: str | None = None) -> Any",
    "Validate and normalize an inbound platform event payload.\n\n"
    "On failure raises `ValueError` with `.issues` (a tuple of\n"
    "`(path, code, message)` triples) and `.trace_context`.");
PyMethodDef reg::evaluate_delivery_event = function<&delivery_decision>(
    "evaluate_delivery_event(event_type: str, room_id: str | None, payload: object, agent_id: str, "
    "trace_context: str | None = None) -> DeliveryDecision",
    "Evaluate the routing decision for one inbound platform event.\n\n"
    "On failure raises `ValueError` with `.issues` (a tuple of\n"
    "`(path, code, message)` triples) and `.trace_context`. A `payload` that\n"
    "cannot be converted raises `TypeError`.");
PyMethodDef reg::is_self_echo = function<&core::is_self_echo>(
    "is_self_echo(sender_id: str, sender_type: str, agent_id: str) -> bool",
    "True exactly when `sender_type` is \"Agent\" and `sender_id` equals\n"
    "`agent_id` (both compared exactly). This is the one definition of the\n"
    "self-echo rule: `evaluate_delivery_event` and `evaluate_drain_candidate`\n"
    "apply it too, and it is exposed for call sites that go through neither.");

}  // namespace orvu::py
