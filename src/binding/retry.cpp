// RetryTracker: the per-message retry budget.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/retry.hpp"

namespace orvu::py {
namespace {

using TrackerObject = Wrapped<core::RetryTracker>;

Ref tracker_new(PyTypeObject* type, const BoundArgs& a) {
    // Both values are converted before either range is checked.
    const std::int64_t max_retries = a.integer_or(0, core::kDefaultMaxRetries);
    const std::int64_t max_tracked = a.integer_or(1, core::kDefaultMaxTracked);
    const auto retries = a.in_range<std::uint32_t>(0, max_retries, core::kMaxRetriesRange);
    const auto tracked = a.in_range<std::uint32_t>(1, max_tracked, core::kMaxTrackedRange);
    return TrackerObject::create(type, retries, tracked);
}

Ref record_attempt(core::RetryTracker& tracker, const BoundArgs& a) {
    const core::AttemptResult r = tracker.record_attempt(a.str(0));
    return result::tuple(result::integer(r.attempts), result::boolean(r.exhausted));
}

constexpr Access X = Access::Exclusive;

}  // namespace

const ClassDef reg::RetryTracker = wrapped_class<TrackerObject, &tracker_new>(
    fill("RetryTracker(max_retries: int = {}, max_tracked: int = {})", core::kDefaultMaxRetries,
         core::kDefaultMaxTracked),
    "Per-message retry budget: bounded attempt/failure tracking plus\n"
    "`discard_attempt` for a cycle the caller's own control signal aborted\n"
    "before it ran the handler.",
    {
        method<TrackerObject, X, &record_attempt>("record_attempt(message_id: str) -> tuple[int, bool]",
            "Count one handling attempt of `message_id`. Returns `(attempts, exhausted)`;\n"
            "`exhausted` is true once attempts exceed the message's limit, which also\n"
            "marks the message permanently failed."),
        method<TrackerObject, X, &core::RetryTracker::mark_success>("mark_success(message_id: str) -> None",
            "Forget the attempt count of a handled message. A permanent failure mark\n"
            "stays."),
        method<TrackerObject, X, &core::RetryTracker::discard_attempt>("discard_attempt(message_id: str) -> None",
            "Take back one attempt of a cycle that the caller's own control signal\n"
            "aborted before it ran the handler."),
        method<TrackerObject, X, &core::RetryTracker::mark_permanently_failed>(
            "mark_permanently_failed(message_id: str) -> None",
            "Mark `message_id` as having used up its retry budget for good."),
        method<TrackerObject, Access::Shared, &core::RetryTracker::is_permanently_failed<>>(
            "is_permanently_failed(message_id: str) -> bool",
            "Whether `message_id` has used up its retry budget."),
    },
    {getter<TrackerObject, Access::Shared, &core::RetryTracker::max_retries>(
        "max_retries: int", "The retry limit given to each newly tracked message.")});

}  // namespace orvu::py
