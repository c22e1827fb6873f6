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

Ref failure_new(PyTypeObject* type, const BoundArgs& a) {
    core::AgentFailure failure;
    failure.provider = a.str(0);
    failure.message = a.str(1);
    if (auto code = a.optional_str(2)) failure.code.emplace(*code);
    if (a.given(3) && a[3] != Py_None) failure.detail = to_json(a.state(), a[3]);
    return FailureObject::create(type, std::move(failure));
}

// A fresh Python value on each call.
Ref detail(const core::AgentFailure& failure, ModuleState&) {
    return failure.detail ? from_json(*failure.detail) : result::none();
}

// The dict form, keys inserted as provider, code, message, detail.
Ref failure_dict(const core::AgentFailure& failure, ModuleState& state) {
    return result::dict(state, {{Word::Provider, result::str(failure.provider)},
                                {Word::Code, typed::to_py(state, failure.code)},
                                {Word::Message, result::str(failure.message)},
                                {Word::Detail, detail(failure, state)}});
}

Ref to_dict(core::AgentFailure& failure, const BoundArgs& a) { return failure_dict(failure, a.state()); }
Ref to_extension_data(core::AgentFailure& failure, const BoundArgs& a) {
    return result::dict_of(std::array{core::FAILURE_EXTENSION_KEY}, [&](std::string_view key) {
        return std::pair(result::str(key), failure_dict(failure, a.state()));
    });
}

}  // namespace

// Nothing changes a failure after construction: its readers take no guard.
const ClassDef reg::AgentFailure = wrapped_class<FailureObject, &failure_new>(
    "AgentFailure(provider: str, message: str, code: str | None = None, detail: object = None)",
    "One agent-provider failure, surfaced verbatim rather than classified.",
    {
        method<FailureObject, Access::None, &to_dict>("to_dict() -> FailureDict",
            "The failure as a plain JSON-shaped dict."),
        method<FailureObject, Access::None, &to_extension_data>("to_extension_data() -> dict[str, FailureDict]",
            "The canonical failure payload under Core's extension-data key."),
    },
    {
        getter<FailureObject, Access::None, &core::AgentFailure::provider>("provider: str",
            "Which provider failed, as the host names it."),
        getter<FailureObject, Access::None, &core::AgentFailure::message>("message: str",
            "The provider's failure text, verbatim."),
        getter<FailureObject, Access::None, &core::AgentFailure::code>("code: str | None",
            "The provider's own error code, verbatim, or None."),
        getter<FailureObject, Access::None, &detail>("detail: JsonValue",
            "Further structured detail (a fresh value on each access), or None."),
    });

}  // namespace orvu::py
