// RetryTracker: the per-message retry budget.
#include "binding/args.hpp"
#include "binding/object.hpp"
#include "binding/registry.hpp"
#include "core/numbers.hpp"
#include "core/retry.hpp"

#include <memory>

namespace orvu::py {
namespace {

using TrackerObject = Wrapped<core::RetryTracker>;

PyMethodDef fastcall_method(const char* name, PyObject* (*fn)(PyObject*, PyObject* const*, Py_ssize_t,
                                                                         PyObject*) noexcept,
                                      const char* doc) {
    return {name, fastcall(fn), kFastCall,
            doc};
}

std::uint32_t checked_u32(std::int64_t value, const char* name, std::int64_t low) {
    if (value < low || value > static_cast<std::int64_t>(core::kCountMax)) {
        raise_value_error(core::range_message(name, low, core::kCountMax, value));
    }
    return static_cast<std::uint32_t>(value);
}

const Signature kNew{"RetryTracker.__new__", {"max_retries", "max_tracked"}, 2, 0};
PyObject* tracker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kNew, args, kwargs);
        // Both values are converted before either range is checked.
        std::int64_t max_retries = a.given(0) ? a.integer<std::int64_t>(0) : 1;
        std::int64_t max_tracked = a.given(1) ? a.integer<std::int64_t>(1) : 10000;
        std::uint32_t retries = checked_u32(max_retries, "max_retries", 0);
        std::uint32_t tracked = checked_u32(max_tracked, "max_tracked", 1);
        return TrackerObject::create(type, std::make_unique<core::RetryTracker>(retries, tracked));
    });
}

// The methods all take one message id.
template <const Signature& sig, class Body>
PyObject* with_message_id(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        std::string message_id(a.str(0));
        return body(message_id);
    });
}

const Signature kRecordAttempt{"RetryTracker.record_attempt", {"message_id"}, 1, 1};
PyObject* record_attempt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_message_id<kRecordAttempt>(args, nargs, kwnames, [&](const std::string& id) {
        ExclusiveBorrow guard(TrackerObject::cast(self)->borrow);
        core::AttemptResult r = TrackerObject::of(self).record_attempt(id);
        return Ref::check(Py_BuildValue("(kO)", static_cast<unsigned long>(r.attempts),
                                        r.exhausted ? Py_True : Py_False));
    });
}

const Signature kMarkSuccess{"RetryTracker.mark_success", {"message_id"}, 1, 1};
PyObject* mark_success(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_message_id<kMarkSuccess>(args, nargs, kwnames, [&](const std::string& id) {
        ExclusiveBorrow guard(TrackerObject::cast(self)->borrow);
        TrackerObject::of(self).mark_success(id);
        return none();
    });
}

const Signature kDiscardAttempt{"RetryTracker.discard_attempt", {"message_id"}, 1, 1};
PyObject* discard_attempt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return with_message_id<kDiscardAttempt>(args, nargs, kwnames, [&](const std::string& id) {
        ExclusiveBorrow guard(TrackerObject::cast(self)->borrow);
        TrackerObject::of(self).discard_attempt(id);
        return none();
    });
}

const Signature kMarkFailed{"RetryTracker.mark_permanently_failed", {"message_id"}, 1, 1};
PyObject* mark_permanently_failed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return with_message_id<kMarkFailed>(args, nargs, kwnames, [&](const std::string& id) {
        ExclusiveBorrow guard(TrackerObject::cast(self)->borrow);
        TrackerObject::of(self).mark_permanently_failed(id);
        return none();
    });
}

const Signature kIsFailed{"RetryTracker.is_permanently_failed", {"message_id"}, 1, 1};
PyObject* is_permanently_failed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return with_message_id<kIsFailed>(args, nargs, kwnames, [&](const std::string& id) {
        SharedBorrow guard(TrackerObject::cast(self)->borrow);
        return boolean(TrackerObject::of(self).is_permanently_failed(id));
    });
}

PyObject* get_max_retries(PyObject* self, void*) noexcept {
    return guarded([&] {
        SharedBorrow guard(TrackerObject::cast(self)->borrow);
        return Ref::check(PyLong_FromUnsignedLong(TrackerObject::of(self).max_retries()));
    });
}

PyMethodDef methods[] = {
    fastcall_method("record_attempt", &record_attempt,
                    "record_attempt($self, message_id)\n--\n\n"
                    "Count one handling attempt of `message_id`. Returns `(attempts, exhausted)`;\n"
                    "`exhausted` is true once attempts exceed the message's limit, which also\n"
                    "marks the message permanently failed."),
    fastcall_method("mark_success", &mark_success,
                    "mark_success($self, message_id)\n--\n\n"
                    "Forget the attempt count of a handled message. A permanent failure mark\n"
                    "stays."),
    fastcall_method("discard_attempt", &discard_attempt,
                    "discard_attempt($self, message_id)\n--\n\n"
                    "Take back one attempt of a cycle that the caller's own control signal\n"
                    "aborted before it ran the handler."),
    fastcall_method("mark_permanently_failed", &mark_permanently_failed,
                    "mark_permanently_failed($self, message_id)\n--\n\n"
                    "Mark `message_id` as having used up its retry budget for good."),
    fastcall_method("is_permanently_failed", &is_permanently_failed,
                    "is_permanently_failed($self, message_id)\n--\n\n"
                    "Whether `message_id` has used up its retry budget."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"max_retries", &get_max_retries, nullptr, "The retry limit given to each newly tracked message.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&tracker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&TrackerObject::dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("RetryTracker(max_retries=1, max_tracked=10000)\n--\n\n"
                                  "Per-message retry budget: bounded attempt/failure tracking plus\n"
                                  "`discard_attempt` for a cycle the caller's own control signal aborted\n"
                                  "before it ran the handler.")},
    {0, nullptr},
};

PyType_Spec spec{"orvu_sdk_core.RetryTracker", static_cast<int>(sizeof(TrackerObject)), 0, Py_TPFLAGS_DEFAULT,
                 slots};

const ClassRegistration reg{"RetryTracker", [](PyObject* m) { return make_type(m, &spec); }};

}  // namespace
}  // namespace orvu::py
