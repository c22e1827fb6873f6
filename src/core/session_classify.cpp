#include "core/session_classify.hpp"

namespace orvu::core {
namespace {
// Statuses 400..409: which ones mean "do not come back".
constexpr bool kTerminalUpgrade4xx[10] = {true, false, false, true, false, false, false, false, false, true};
}  // namespace

Classification classify_close(std::optional<std::uint16_t> close_code) noexcept {
    return Classification{close_code.has_value() && *close_code == 1000, std::nullopt};
}

Classification classify_upgrade(std::uint16_t status) noexcept {
    bool terminal = status >= 400 && status <= 409 && kTerminalUpgrade4xx[status - 400];
    return Classification{terminal, std::nullopt};
}

}  // namespace orvu::core
