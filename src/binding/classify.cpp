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

Ref close_classification(const BoundArgs& a) {
    std::optional<std::uint16_t> code;
    if (a[0] != Py_None) code = a.in_range<std::uint16_t>(0, a.integer<std::int64_t>(0), core::kCodeRange);
    return classification(core::classify_close(code));
}

Ref upgrade_classification(const BoundArgs& a) {
    const std::int64_t status = a.integer<std::int64_t>(0);
    return classification(core::classify_upgrade(a.in_range<std::uint16_t>(0, status, core::kCodeRange)));
}

}  // namespace

PyMethodDef reg::classify_close = function<&close_classification>(
    "classify_close(close_code: int | None) -> tuple[bool, tuple[float, float] | None]",
    fill("Classify a WebSocket close code. Returns `(terminal, delay_range_s)`.\n"
         "Raises `ValueError` if `close_code` is not an integer in `{}..={}`.",
         core::kCodeRange.low, core::kCodeRange.high));
PyMethodDef reg::classify_upgrade = function<&upgrade_classification>(
    "classify_upgrade(status: int) -> tuple[bool, tuple[float, float] | None]",
    fill("Classify an HTTP upgrade-rejection status code. Returns\n"
         "`(terminal, delay_range_s)`. Raises `ValueError` if `status` is not an\n"
         "integer in `{}..={}`.", core::kCodeRange.low, core::kCodeRange.high));

}  // namespace orvu::py
