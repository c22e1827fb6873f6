// The memory taxonomy's one rule: which content types each memory tier admits.
#pragma once

#include "core/enums.hpp"
#include "core/json.hpp"

#include <span>
#include <string_view>

namespace orvu::core {

// The types a tier admits, in their canonical order.
std::span<const MemoryType> admitted_memory_types(MemorySystem system) noexcept;

// Issues (paths "system" and "type") for a system/type pair given by wire
// name; empty when the pair is valid.
Issues check_memory_type_for_system(std::string_view system, std::string_view memory_type);

}  // namespace orvu::core
