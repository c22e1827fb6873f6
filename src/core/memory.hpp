// The memory taxonomy's one rule: which content types each memory tier admits.
#pragma once

#include "core/enums.hpp"
#include "core/refusal.hpp"

#include <span>
#include <string_view>

namespace orvu::core {

// The types a tier admits, in their canonical order.
std::span<const MemoryType> admitted_memory_types(MemorySystem system) noexcept;

// Accepts a valid system/type pair given by wire name; refuses any other
// with validation issues (paths "system" and "type").
Outcome<> check_memory_type_for_system(std::string_view system, std::string_view memory_type);

}  // namespace orvu::core
