// The module's per-interpreter state: every Python object the binding keeps
// between calls lives here and nowhere else. One instance is built in place
// inside the module object by the exec step and torn down by m_clear/m_free,
// so two interpreters importing the module share no Python object.
//
// Methods reach it from their own type (`state_of(self)`; no class of the
// module can be subclassed, so Py_TYPE(self) is always the defining type),
// module functions from their module object (`module_state(module)`).
#pragma once

#include "binding/handle.hpp"
#include "binding/registry.hpp"
#include "core/enums.hpp"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace orvu::py {

// Every class of the module, in registration order (the order of `__all__`),
// expanded from the class list of registry.hpp; Count_ is their number.
enum class TypeId : std::uint8_t {
#define ORVU_TYPE_ID(Name, ...) Name,
    ORVU_CLASSES(ORVU_TYPE_ID, ORVU_TYPE_ID)
#undef ORVU_TYPE_ID
    Count_  // not a class: the number of classes
};
inline constexpr std::size_t kTypeCount = static_cast<std::size_t>(TypeId::Count_);

// Interned strings used as result dict keys and result words, each an id
// and its text.
#define ORVU_WORDS(W) \
    W(Decision, "decision") W(RoomId, "room_id") W(MessageId, "message_id") W(NextOpenId, "next_open_id")       \
    W(Token, "token") W(Status, "status") W(Error, "error") W(Parked, "parked") W(Continuation, "continuation") \
    W(Kind, "kind") W(Attempts, "attempts") W(MaxRetries, "max_retries") W(Processed, "processed")              \
    W(Failed, "failed") W(Retry, "retry") W(Finished, "finished") W(Id, "id") W(Name, "name") W(Type, "type")   \
    W(Handle, "handle") W(Description, "description") W(Parameters, "parameters") W(Required, "required")       \
    W(Provider, "provider") W(Code, "code") W(Message, "message") W(Detail, "detail") W(SenderId, "sender_id")  \
    W(SenderType, "sender_type") W(EventType, "event_type")
enum class Word : std::uint8_t {
#define ORVU_WORD_ID(id, text) id,
    ORVU_WORDS(ORVU_WORD_ID)
#undef ORVU_WORD_ID
    Count_  // not a word: the number of words
};
inline constexpr std::string_view kWordTexts[] = {
#define ORVU_WORD_TEXT(id, text) text,
    ORVU_WORDS(ORVU_WORD_TEXT)
#undef ORVU_WORD_TEXT
};
inline constexpr std::size_t kWordCount = std::size(kWordTexts);

// Result dicts of a fixed shape: each is copied from a template dict kept in
// the state (a copy clones the template's key table in one step) and only its
// varying values are set. The fields of each shape are listed in module.cpp.
enum class Shape : std::uint8_t {
    ProcessedSettlement,   // token, status "processed", parked, continuation
    FailedSettlement,      // token, status "failed", error, parked, continuation
    FinishedContinuation,  // kind "finished"
    Count_  // not a shape: the number of shapes
};
inline constexpr std::size_t kShapeCount = static_cast<std::size_t>(Shape::Count_);

struct ModuleState {
    std::array<Ref, kTypeCount> types;
    // The type and the members of each enumeration, by variant index.
    std::array<PyTypeObject*, core::kEnumCount> enum_types{};  // borrowed from `types`
    std::array<std::vector<Ref>, core::kEnumCount> members;
    std::array<Ref, kWordCount> words;
    std::array<Ref, kShapeCount> shapes;
    // The interned answers of the claim registry's eligibility decisions, by
    // core::Eligibility.
    std::array<Ref, 7> eligibility_words;
    // The words of a routing decision, by core::Route, then the payload key "chat_room_id".
    std::array<Ref, 5> route_words;
    Ref mapping_abc;   // collections.abc.Mapping
    Ref sequence_abc;  // collections.abc.Sequence

    PyTypeObject* type(TypeId id) const noexcept {
        return reinterpret_cast<PyTypeObject*>(types[static_cast<std::size_t>(id)].get());
    }
    PyObject* word(Word w) const noexcept { return words[static_cast<std::size_t>(w)].get(); }
    PyObject* shape(Shape s) const noexcept { return shapes[static_cast<std::size_t>(s)].get(); }

    int traverse(visitproc visit, void* arg) const;
    void clear() noexcept;
};

// The module object's memory: the state first (so the memory's address is
// the state's), then a flag set once the exec step has built it. The
// interpreter zeroes this memory before exec, so a module torn down before
// its exec step ran reads `alive` false and has nothing to destroy.
struct StateBox {
    alignas(ModuleState) unsigned char storage[sizeof(ModuleState)];
    bool alive;
};

// The state of the module object `module`.
ModuleState& module_state(PyObject* module) noexcept;
// The state of the module that defined the type of `self`.
inline ModuleState& state_of(PyObject* self) noexcept {
    return *static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
}
// The state of the module that defined `type` (tp_new receives the type).
inline ModuleState& state_of_type(PyTypeObject* type) noexcept {
    return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace orvu::py
