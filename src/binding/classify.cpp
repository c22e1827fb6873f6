// classify_close / classify_upgrade.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/session_classify.hpp"

namespace orvu::py {
namespace {

// (terminal, delay_range_s); no code carries a delay window today, so the
// second slot stays None until one does.
Ref classification(const core::Classification& c) {
    auto window = [](const std::pair<double, double>& w) {
        return result::tuple(result::real(w.first), result::real(w.second));
    };
    return result::tuple(result::boolean(c.terminal), result::optional(c.delay_range_s, window));
}

Ref classify_close(const BoundArgs& a) {
    std::optional<std::uint16_t> code;
    if (a[0] != Py_None) code = a.in_range<std::uint16_t>(0, a.integer<std::int64_t>(0), core::kCodeRange);
    return classification(core::classify_close(code));
}

Ref classify_upgrade(const BoundArgs& a) {
    const std::int64_t status = a.integer<std::int64_t>(0);
    return classification(core::classify_upgrade(a.in_range<std::uint16_t>(0, status, core::kCodeRange)));
}

PyMethodDef classify_close_def = function<&classify_close>(
    "classify_close(close_code)\n--\n\n"
    "Classify a WebSocket close code. Returns `(terminal, delay_range_s)`.\n"
    "Raises `ValueError` if `close_code` is not an integer in `0..=65535`.");
PyMethodDef classify_upgrade_def = function<&classify_upgrade>(
    "classify_upgrade(status)\n--\n\n"
    "Classify an HTTP upgrade-rejection status code. Returns\n"
    "`(terminal, delay_range_s)`. Raises `ValueError` if `status` is not an\n"
    "integer in `0..=65535`.");

}  // namespace

PyMethodDef* reg::classify_close() { return &classify_close_def; }
PyMethodDef* reg::classify_upgrade() { return &classify_upgrade_def; }

}  // namespace orvu::py
