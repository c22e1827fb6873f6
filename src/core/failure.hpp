// One agent-provider failure, kept in the provider's own words. Nothing here
// interprets or classifies it; the binding renders it as a plain dict and as
// the extension-data payload the platform expects failures under.
#pragma once

#include "core/json.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace orvu::core {

// The vendor-namespaced extension-data key under which a failure travels.
inline constexpr std::string_view FAILURE_EXTENSION_KEY = "orvu.core.agent_failure";

struct AgentFailure {
    std::string provider;
    std::string message;
    std::optional<std::string> code;
    // Absent when no detail was given; a detail that converted to null is kept as null.
    std::optional<JsonValue> detail;
};

}  // namespace orvu::core
