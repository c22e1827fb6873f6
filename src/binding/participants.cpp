// ParticipantRoster. The roster may hold a Python callable (the trace-context
// provider), so it takes part in garbage collection: a provider that refers
// back to its roster forms a cycle the collector must be able to break.
#include "binding/convert.hpp"
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/participants.hpp"

#include <algorithm>

namespace orvu::py {
namespace {

using core::ParticipantRoster;
using Roster = Wrapped<ParticipantRoster>;  // methods that need only the core roster

// Methods that also need the provider name this type: their bodies receive
// the whole object rather than the core roster.
struct RosterObject : Roster {
    PyObject* provider;  // owned; nullptr when the roster has none
    static RosterObject& of(PyObject* self) noexcept { return *static_cast<RosterObject*>(cast(self)); }
};

// A plain dict of str keys and str or None values, with a str `id`, holds
// nothing the conversion could refuse: it is read straight, without a JSON
// value. Anything else is converted whole first, so an unconvertible value
// anywhere in it is refused even under a key the roster ignores.
// The keys here and the dict keys of `list` follow the core's field order.
static_assert(core::kParticipantFields == std::array<std::string_view, 4>{"name", "type", "handle", "description"});
// A key's place: 0 for "id", 1 + its index in the core's fields, or past them
// for a key the roster ignores. A key written in the host's source is the
// module's own interned word, known without reading its text.
constexpr Word kKeyWords[] = {Word::Id, Word::Name, Word::Type, Word::Handle, Word::Description};
std::optional<core::Participant> read_plain(const ModuleState& state, PyObject* obj) {
    core::Participant p;
    bool has_id = false;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    auto text = [](PyObject* s, std::string_view& out) {
        Py_ssize_t size = 0;
        const char* t = PyUnicode_CheckExact(s) ? PyUnicode_AsUTF8AndSize(s, &size) : nullptr;
        if (t) out = std::string_view(t, static_cast<std::size_t>(size));
        else PyErr_Clear();  // no text: the conversion reports it
        return t != nullptr;
    };
    while (PyDict_Next(obj, &pos, &key, &value)) {
        std::string_view k, v;
        if (value != Py_None && !text(value, v)) return std::nullopt;
        std::size_t place = 0;
        while (place < std::size(kKeyWords) && key != state.word(kKeyWords[place])) ++place;
        if (place == std::size(kKeyWords)) {
            if (!text(key, k)) return std::nullopt;
            const auto* field = std::find(core::kParticipantFields.begin(), core::kParticipantFields.end(), k);
            place = k == "id" ? 0 : 1 + static_cast<std::size_t>(field - core::kParticipantFields.begin());
        }
        if (place == 0) {
            if (value == Py_None) return std::nullopt;
            p.id = v, has_id = true;
        } else if (place < std::size(kKeyWords) && value != Py_None) {
            p.fields[place - 1].emplace(v);
        }
    }
    return has_id ? std::optional(std::move(p)) : std::nullopt;
}
core::Participant read_participant(const ModuleState& state, PyObject* obj) {
    if (PyDict_CheckExact(obj)) {
        if (auto plain = read_plain(state, obj)) return std::move(*plain);
    }
    return unwrap(core::read_participant(to_json(state, obj)));
}

// The provider's answer: its str result, or nothing. Whatever goes wrong in
// the provider (including a re-entrant call on this roster) is discarded.
// The provider is held for the call, which may detach it from the roster.
Ref provided_trace_context(const RosterObject& self) {
    Ref provider = Ref::borrow(self.provider);
    Ref result = provider ? Ref::steal(PyObject_CallNoArgs(provider.get())) : Ref();
    if (provider && !result) PyErr_Clear();
    return result && PyUnicode_Check(result.get()) ? std::move(result) : Ref();
}


Ref add(ParticipantRoster& roster, const BoundArgs& a) {
    return result::boolean(roster.add(read_participant(a.state(), a[0])));
}

Ref set_all(RosterObject& self, const BoundArgs& a) {
    PyObject* explicit_context = a.optional_str_object(1);
    // The whole snapshot is read before anything is decided.
    std::vector<core::Participant> snapshot;
    Ref iterator = Ref::check(PyObject_GetIter(a[0]));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        snapshot.push_back(read_participant(a.state(), item.get()));
    }
    if (PyErr_Occurred()) throw_error();

    Ref trace_context = explicit_context ? Ref::borrow(explicit_context) : provided_trace_context(self);
    unwrap(Roster::of(reinterpret_cast<PyObject*>(&self)).set_all(std::move(snapshot)), trace_context.get());
    return result::none();
}

Ref list(ParticipantRoster& roster, const BoundArgs& a) {
    const ModuleState& s = a.state();
    auto field = [](const std::optional<std::string>& value) { return result::optional(value, result::str); };
    return result::list(roster.list(), [&](const core::Participant& p) {
        return result::dict(s, {{Word::Id, result::str(p.id)}, {Word::Name, field(p.fields[0])},
                                {Word::Type, field(p.fields[1])}, {Word::Handle, field(p.fields[2])},
                                {Word::Description, field(p.fields[3])}});
    });
}

Ref roster_new(PyTypeObject* type, const BoundArgs& a) {
    // Stored as given: no check that it is callable (a failing call is
    // treated like a provider that has no answer).
    PyObject* provider = a.given(0) && a[0] != Py_None ? a[0] : nullptr;
    Ref self = RosterObject::create(type);
    RosterObject::of(self.get()).provider = Ref::borrow(provider).release();
    return self;
}

int roster_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(RosterObject::of(self).provider);
    return 0;
}

int roster_clear(PyObject* self) {
    // Detach first, then drop: the provider's own teardown may reach the roster.
    Ref dropped = Ref::steal(std::exchange(RosterObject::of(self).provider, nullptr));
    return 0;
}

void roster_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    roster_clear(self);
    RosterObject::dealloc(self);
}

constexpr Access X = Access::Exclusive;

}  // namespace

const ClassDef reg::ParticipantRoster = wrapped_class<RosterObject, &roster_new>(
    "ParticipantRoster(*, trace_context_provider: Callable[[], str | None] | None = None)",
    "The always-injected passive participant roster. A participant is any\n"
    "mapping; `id`, `name`, `type`, `handle`, `description` are read from it\n"
    "and returned by [`list`](Self::list) -- every other key is dropped,\n"
    "matching the platform's own `participant_added`/`participant_removed`\n"
    "field set. `id` is required and must be a string; the other four are\n"
    "each a string or `None`.",
    {
        method<Roster, X, &add>("add(participant: Mapping[str, Any]) -> bool",
            "Add a participant, or merge it into the existing entry with the same\n"
            "`id`. Returns `True` if newly added, `False` if an existing id was\nrefreshed in place."),
        method<Roster, X, &core::ParticipantRoster::remove>("remove(participant_id: str) -> bool",
            "Remove the participant with this id. Returns `True` if one was\nremoved."),
        method<RosterObject, X, &set_all>(
            "set_all(participants: Iterable[Mapping[str, Any]], trace_context: str | None = None) -> None",
            "Replace the roster from an authoritative iterable of participants.\n"
            "Rejects the whole snapshot -- leaving the roster unchanged -- if any\n"
            "id appears in it more than once, raising `ValueError` with `.issues`\n"
            "and `.trace_context` (an explicit `trace_context` argument wins over\n"
            "the constructor's `trace_context_provider`)."),
        method<Roster, Access::Shared, &list>("list() -> builtins.list[ParticipantDict]",
            "The current roster, in add order, as a list of dicts."),
        method<Roster, Access::Shared, &core::ParticipantRoster::changed>("changed() -> bool",
            "Whether membership or any tracked field changed since the last\n"
            "`mark_sent()`."),
        method<Roster, X, &core::ParticipantRoster::mark_sent>("mark_sent() -> None",
            "Snapshot the current roster as sent."),
    },
    {},
    {{Py_tp_dealloc, reinterpret_cast<void*>(&roster_dealloc)},
     {Py_tp_traverse, reinterpret_cast<void*>(&roster_traverse)},
     {Py_tp_clear, reinterpret_cast<void*>(&roster_clear)}});

}  // namespace orvu::py
