// AgentFailure: an immutable record of one agent-provider failure. Nothing
// changes it after construction, so its readers take no guard.
#include "binding/convert.hpp"
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/failure.hpp"

#include <array>

namespace orvu::py {
namespace {

using FailureObject = Wrapped<core::AgentFailure>;
using core::AgentFailure;

const Signature kNew{"AgentFailure.__new__", {"provider", "message", "code", "detail"}, 4, 2};
Ref failure_new(PyTypeObject* type, const BoundArgs& a) {
    AgentFailure failure;
    failure.provider = a.str(0);
    failure.message = a.str(1);
    if (auto code = a.optional_str(2)) failure.code.emplace(*code);
    if (a.given(3) && a[3] != Py_None) failure.detail = to_json(a.state(), a[3]);
    return FailureObject::create(type, std::move(failure));
}

// A fresh Python value on each call.
Ref detail(const AgentFailure& failure, ModuleState&) {
    return failure.detail ? from_json(*failure.detail) : result::none();
}

// The dict form, keys inserted as provider, code, message, detail.
Ref failure_dict(const AgentFailure& failure, ModuleState& state) {
    return result::dict(state, {{Word::Provider, result::str(failure.provider)},
                                {Word::Code, typed::to_py(state, failure.code)},
                                {Word::Message, result::str(failure.message)},
                                {Word::Detail, detail(failure, state)}});
}

Ref to_dict(AgentFailure& failure, const BoundArgs& a) { return failure_dict(failure, a.state()); }
Ref to_extension_data(AgentFailure& failure, const BoundArgs& a) {
    return result::dict_of(std::array{core::FAILURE_EXTENSION_KEY}, [&](std::string_view key) {
        return std::pair(result::str(key), failure_dict(failure, a.state()));
    });
}

PyMethodDef failure_methods[] = {
    method<FailureObject, Access::None, &to_dict>("AgentFailure",
     "to_dict($self)\n--\n\nThe failure as a plain JSON-shaped dict."),
    method<FailureObject, Access::None, &to_extension_data>("AgentFailure",
     "to_extension_data($self)\n--\n\nThe canonical failure payload under Core's extension-data key."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef failure_getset[] = {
    member_getter<FailureObject, Access::None, &AgentFailure::provider>("provider",
     "Which provider failed, as the host names it."),
    member_getter<FailureObject, Access::None, &AgentFailure::message>("message",
     "The provider's failure text, verbatim."),
    member_getter<FailureObject, Access::None, &AgentFailure::code>("code",
     "The provider's own error code, verbatim, or None."),
    getter<FailureObject, Access::None, &detail>("detail",
     "Further structured detail (a fresh value on each access), or None."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Ref reg::agent_failure(PyObject* module) {
    return wrapped_class<FailureObject>(
        module, "orvu_sdk_core.AgentFailure",
        "AgentFailure(provider, message, code=None, detail=None)\n--\n\n"
        "One agent-provider failure, surfaced verbatim rather than classified.",
        {{Py_tp_new, constructor<kNew, &failure_new>()},
         {Py_tp_methods, failure_methods},
         {Py_tp_getset, failure_getset}});
}

}  // namespace orvu::py
