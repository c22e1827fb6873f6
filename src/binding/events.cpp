// validate_event_payload, evaluate_delivery_event, is_self_echo.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/enums.hpp"
#include "binding/legacy.hpp"
#include "binding/registry.hpp"
#include "core/delivery.hpp"
#include "core/events.hpp"

namespace orvu::py {
namespace {

// The UTF-8 text of an event name, or nullopt for a str that has none (one
// holding lone surrogates, as a JSON escape can produce): such a name is
// simply no wire name rather than an encoding error.
std::optional<std::string_view> event_name_text(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text) return std::string_view(text, static_cast<std::size_t>(size));
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
    PyErr_Clear();
    return std::nullopt;
}

// An EventType member, or a str holding a wire name (unknown names are a
// validation error carrying `trace_context`).
core::EventType event_type_arg(PyObject* obj, PyObject* trace_context) {
    if (auto index = enum_index(obj, core::EnumId::EventType)) return static_cast<core::EventType>(*index);
    if (!PyUnicode_Check(obj)) raise_type_error("event_type must be a str");
    if (auto name = event_name_text(obj)) {
        if (auto type = core::event_type_from_wire(*name)) return *type;
        raise_validation(core::unknown_event_type(*name), trace_context);
    }
    Ref escaped = Ref::check(PyUnicode_AsEncodedString(obj, "utf-8", "backslashreplace"));
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(escaped.get(), &bytes, &size) < 0) throw_error();
    raise_validation(core::unknown_event_type(std::string_view(bytes, static_cast<std::size_t>(size))),
                     trace_context);
}

const Signature kValidateEventPayload{"validate_event_payload", {"event_type", "raw", "trace_context"}, 3, 2};
PyObject* validate_event_payload(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kValidateEventPayload, args, nargs, kwnames);
        // trace_context first: an unknown event name already reports through it.
        PyObject* trace_context = a.optional_str_object(2);
        core::EventType type = event_type_arg(a[0], trace_context);
        auto checked = core::validate_event_payload(type, to_json(a[1]));
        if (!checked.issues.empty()) raise_validation(checked.issues, trace_context);
        return from_json(checked.payload);
    });
}

Ref decision_dict(const core::DeliveryDecision& decision) {
    const core::RouteShape& shape = core::route_shape(decision.route);
    Ref dict = Ref::check(PyDict_New());
    Ref value = make_str(shape.decision);
    if (PyDict_SetItemString(dict.get(), "decision", value.get()) < 0) throw_error();
    for (core::RouteField field : shape.fields) {
        Ref key = make_str(core::route_field_key(field));
        Ref text = make_str(decision.field(field));
        if (PyDict_SetItem(dict.get(), key.get(), text.get()) < 0) throw_error();
    }
    return dict;
}

const Signature kEvaluateDeliveryEvent{
    "evaluate_delivery_event", {"event_type", "room_id", "payload", "agent_id", "trace_context"}, 5, 4};
PyObject* evaluate_delivery_event(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kEvaluateDeliveryEvent, args, nargs, kwnames);
        if (!PyUnicode_Check(a[0])) a.wrong_type(0, "str");
        std::optional<std::string_view> event_type = event_name_text(a[0]);
        std::optional<std::string_view> room_id = a.optional_str(1);
        std::string_view agent_id = a.str(3);
        PyObject* trace_context = a.optional_str_object(4);
        // Converted for every event, so a payload that cannot be read fails even when ignored.
        core::JsonValue payload = to_json(a[2]);
        if (!event_type) {
            // A name without UTF-8 text names no event: ignored, echoed as given.
            core::DeliveryDecision ignored;
            Ref dict = decision_dict(ignored);
            // Echoed as a plain str, never the caller's subclass object.
            Ref name = Ref::check(PyUnicode_FromObject(a[0]));
            if (PyDict_SetItemString(dict.get(), "event_type", name.get()) < 0) throw_error();
            return dict;
        }
        auto evaluation = core::evaluate_delivery_event(*event_type, room_id, std::move(payload), agent_id);
        if (!evaluation.issues.empty()) raise_validation(evaluation.issues, trace_context);
        return decision_dict(evaluation.decision);
    });
}

const Signature kIsSelfEcho{"is_self_echo", {"sender_id", "sender_type", "agent_id"}, 3, 3};
PyObject* is_self_echo(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kIsSelfEcho, args, nargs, kwnames);
        std::string_view sender_id = a.str(0);
        std::string_view sender_type = a.str(1);
        std::string_view agent_id = a.str(2);
        return boolean(core::is_self_echo(sender_id, sender_type, agent_id));
    });
}

PyMethodDef validate_event_payload_def{
    "validate_event_payload",
    fastcall(&validate_event_payload),
    kFastCall,
    "validate_event_payload(event_type, raw, trace_context=None)\n--\n\n"
    "Validate and normalize an inbound platform event payload.\n\n"
    "On failure raises `ValueError` with `.issues` (a tuple of\n"
    "`(path, code, message)` triples) and `.trace_context`."};

PyMethodDef evaluate_delivery_event_def{
    "evaluate_delivery_event",
    fastcall(&evaluate_delivery_event),
    kFastCall,
    "evaluate_delivery_event(event_type, room_id, payload, agent_id, trace_context=None)\n--\n\n"
    "Evaluate the routing decision for one inbound platform event.\n\n"
    "On failure raises `ValueError` with `.issues` (a tuple of\n"
    "`(path, code, message)` triples) and `.trace_context`. A `payload` that\n"
    "cannot be converted raises `TypeError`."};

PyMethodDef is_self_echo_def{
    "is_self_echo", fastcall(&is_self_echo),
    kFastCall,
    "is_self_echo(sender_id, sender_type, agent_id)\n--\n\n"
    "True exactly when `sender_type` is \"Agent\" and `sender_id` equals\n"
    "`agent_id` (both compared exactly). This is the one definition of the\n"
    "self-echo rule: `evaluate_delivery_event` and `evaluate_drain_candidate`\n"
    "apply it too, and it is exposed for call sites that go through neither."};


}  // namespace

namespace reg {
PyMethodDef* validate_event_payload() { return &validate_event_payload_def; }
PyMethodDef* evaluate_delivery_event() { return &evaluate_delivery_event_def; }
PyMethodDef* is_self_echo() { return &is_self_echo_def; }
}  // namespace reg

}  // namespace orvu::py
