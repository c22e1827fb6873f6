// RetryTracker: the per-message retry budget.
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/retry.hpp"

namespace orvu::py {
namespace {

using TrackerObject = Wrapped<core::RetryTracker>;

const Signature kNew{"RetryTracker.__new__", {"max_retries", "max_tracked"}, 2, 0};
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

template <auto Fn>
PyMethodDef changing(const char* doc) {
    return core_method<TrackerObject, Access::Exclusive, Fn>("RetryTracker", doc);
}

PyMethodDef methods[] = {
    method<TrackerObject, Access::Exclusive, &record_attempt>("RetryTracker",
                    "record_attempt($self, message_id)\n--\n\n"
                    "Count one handling attempt of `message_id`. Returns `(attempts, exhausted)`;\n"
                    "`exhausted` is true once attempts exceed the message's limit, which also\n"
                    "marks the message permanently failed."),
    changing<&core::RetryTracker::mark_success>(
                    "mark_success($self, message_id)\n--\n\n"
                    "Forget the attempt count of a handled message. A permanent failure mark\n"
                    "stays."),
    changing<&core::RetryTracker::discard_attempt>(
                    "discard_attempt($self, message_id)\n--\n\n"
                    "Take back one attempt of a cycle that the caller's own control signal\n"
                    "aborted before it ran the handler."),
    changing<&core::RetryTracker::mark_permanently_failed>(
                    "mark_permanently_failed($self, message_id)\n--\n\n"
                    "Mark `message_id` as having used up its retry budget for good."),
    core_method<TrackerObject, Access::Shared, &core::RetryTracker::is_permanently_failed>("RetryTracker",
                    "is_permanently_failed($self, message_id)\n--\n\n"
                    "Whether `message_id` has used up its retry budget."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    member_getter<TrackerObject, Access::Shared, &core::RetryTracker::max_retries>(
        "max_retries", "The retry limit given to each newly tracked message."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Ref reg::retry_tracker(PyObject* module) {
    return wrapped_class<TrackerObject>(module, "orvu_sdk_core.RetryTracker",
                                        "RetryTracker(max_retries=1, max_tracked=10000)\n--\n\n"
                                        "Per-message retry budget: bounded attempt/failure tracking plus\n"
                                        "`discard_attempt` for a cycle the caller's own control signal aborted\n"
                                        "before it ran the handler.",
                                        {{Py_tp_new, constructor<kNew, &tracker_new>()},
                                         {Py_tp_methods, methods},
                                         {Py_tp_getset, getset}});
}
}  // namespace orvu::py
