// AgentFailure: an immutable record of one agent-provider failure.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/object.hpp"
#include "binding/legacy.hpp"
#include "binding/registry.hpp"
#include "core/failure.hpp"

#include <memory>

namespace orvu::py {
namespace {

using FailureObject = Wrapped<core::AgentFailure>;

Ref optional_text(const std::optional<std::string>& text) { return text ? make_str(*text) : none(); }

Ref detail_value(const core::AgentFailure& failure) { return failure.detail ? from_json(*failure.detail) : none(); }

// The dict form, keys inserted as provider, code, message, detail.
Ref failure_dict(const core::AgentFailure& failure) {
    Ref dict = Ref::check(PyDict_New());
    const std::pair<const char*, Ref> entries[] = {
        {"provider", make_str(failure.provider)},
        {"code", optional_text(failure.code)},
        {"message", make_str(failure.message)},
        {"detail", detail_value(failure)},
    };
    for (const auto& [key, value] : entries) {
        if (PyDict_SetItemString(dict.get(), key, value.get()) < 0) throw_error();
    }
    return dict;
}

const Signature kNew{"AgentFailure.__new__", {"provider", "message", "code", "detail"}, 4, 2};
PyObject* failure_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kNew, args, kwargs);
        auto failure = std::make_unique<core::AgentFailure>();
        failure->provider = std::string(a.str(0));
        failure->message = std::string(a.str(1));
        if (auto code = a.optional_str(2)) failure->code = std::string(*code);
        if (a.given(3) && a[3] != Py_None) failure->detail = to_json(a[3]);
        return FailureObject::create(type, std::move(failure));
    });
}

PyObject* get_provider(PyObject* self, void*) noexcept {
    return guarded([&] {
        SharedAccess guard(FailureObject::cast(self)->access);
        return make_str(FailureObject::of(self).provider);
    });
}

PyObject* get_message(PyObject* self, void*) noexcept {
    return guarded([&] {
        SharedAccess guard(FailureObject::cast(self)->access);
        return make_str(FailureObject::of(self).message);
    });
}

PyObject* get_code(PyObject* self, void*) noexcept {
    return guarded([&] {
        SharedAccess guard(FailureObject::cast(self)->access);
        return optional_text(FailureObject::of(self).code);
    });
}

PyObject* get_detail(PyObject* self, void*) noexcept {
    return guarded([&] {
        SharedAccess guard(FailureObject::cast(self)->access);
        return detail_value(FailureObject::of(self));
    });
}

const Signature kToDict{"AgentFailure.to_dict", {}, 0, 0};
PyObject* to_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        bind(kToDict, args, nargs, kwnames);
        SharedAccess guard(FailureObject::cast(self)->access);
        return failure_dict(FailureObject::of(self));
    });
}

const Signature kToExtensionData{"AgentFailure.to_extension_data", {}, 0, 0};
PyObject* to_extension_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        bind(kToExtensionData, args, nargs, kwnames);
        SharedAccess guard(FailureObject::cast(self)->access);
        Ref payload = failure_dict(FailureObject::of(self));
        Ref key = make_str(core::FAILURE_EXTENSION_KEY);
        Ref dict = Ref::check(PyDict_New());
        if (PyDict_SetItem(dict.get(), key.get(), payload.get()) < 0) throw_error();
        return dict;
    });
}

PyMethodDef failure_methods[] = {
    {"to_dict", fastcall(&to_dict),
     kFastCall, "to_dict($self)\n--\n\nThe failure as a plain JSON-shaped dict."},
    {"to_extension_data", fastcall(&to_extension_data),
     kFastCall,
     "to_extension_data($self)\n--\n\nThe canonical failure payload under Core's extension-data key."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef failure_getset[] = {
    {"provider", &get_provider, nullptr, "Which provider failed, as the host names it.", nullptr},
    {"message", &get_message, nullptr, "The provider's failure text, verbatim.", nullptr},
    {"code", &get_code, nullptr, "The provider's own error code, verbatim, or None.", nullptr},
    {"detail", &get_detail, nullptr, "Further structured detail (a fresh value on each access), or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot failure_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&failure_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&FailureObject::dealloc)},
    {Py_tp_methods, failure_methods},
    {Py_tp_getset, failure_getset},
    {Py_tp_doc, const_cast<char*>("AgentFailure(provider, message, code=None, detail=None)\n--\n\n"
                                  "One agent-provider failure, surfaced verbatim rather than classified.")},
    {0, nullptr},
};

PyType_Spec failure_spec{"orvu_sdk_core.AgentFailure", static_cast<int>(sizeof(FailureObject)), 0,
                         Py_TPFLAGS_DEFAULT, failure_slots};


}  // namespace

namespace reg {
Ref agent_failure(PyObject* module) { return make_type(module, &failure_spec); }
}  // namespace reg

}  // namespace orvu::py
