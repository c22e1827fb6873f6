#include "core/memory.hpp"

#include <string>
#include <utility>

namespace orvu::core {

namespace {

using T = MemoryType;

constexpr MemoryType kSensoryTypes[] = {T::Iconic, T::Echoic, T::Haptic};
constexpr MemoryType kRecallTypes[] = {T::Episodic, T::Semantic, T::Procedural};

// Indexed by MemorySystem.
constexpr std::span<const MemoryType> kAdmitted[] = {
    kSensoryTypes,  // Sensory
    kRecallTypes,   // Working
    kRecallTypes,   // LongTerm
};

std::string quoted(std::string_view text) {
    std::string out = "`";
    out += text;
    out += '`';
    return out;
}

}  // namespace

std::span<const MemoryType> admitted_memory_types(MemorySystem system) noexcept {
    return kAdmitted[index_of(system)];
}

Outcome<> check_memory_type_for_system(std::string_view system, std::string_view memory_type) {
    Issues issues;
    const auto system_index = enum_index_from_wire(EnumId::MemorySystem, system);
    const auto type_index = enum_index_from_wire(EnumId::MemoryType, memory_type);
    if (!system_index) {
        add_issue(issues, "system", IssueCode::InvalidValue, "unknown memory system " + quoted(system));
    }
    if (!type_index) {
        add_issue(issues, "type", IssueCode::InvalidValue, "unknown memory type " + quoted(memory_type));
    }
    if (!system_index || !type_index) return Refusal::validation(std::move(issues));

    const auto admitted = admitted_memory_types(static_cast<MemorySystem>(*system_index));
    std::string expected;
    for (MemoryType t : admitted) {
        if (index_of(t) == *type_index) return accept();
        if (!expected.empty()) expected += ", ";
        expected += wire_of(EnumId::MemoryType, t);
    }
    add_issue(issues, "type", IssueCode::InvalidValue,
              "type " + quoted(memory_type) + " is not valid for system " + quoted(system) +
                  "; expected one of: " + expected);
    return Refusal::validation(std::move(issues));
}

}  // namespace orvu::core
