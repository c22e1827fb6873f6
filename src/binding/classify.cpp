// classify_close / classify_upgrade.
#include "binding/args.hpp"
#include "binding/registry.hpp"
#include "core/session_classify.hpp"
#include "core/numbers.hpp"

namespace orvu::py {
namespace {

Ref classification_tuple(const core::Classification& c) {
    // No code carries a delay window today; the slot stays None until one does.
    Ref window = none();
    if (c.delay_range_s) {
        window = Ref::check(Py_BuildValue("(dd)", c.delay_range_s->first, c.delay_range_s->second));
    }
    Ref result = Ref::check(PyTuple_New(2));
    PyTuple_SetItem(result.get(), 0, boolean(c.terminal).release());
    PyTuple_SetItem(result.get(), 1, window.release());
    return result;
}

std::uint16_t checked_code(std::int64_t value, const char* name) {
    if (value < 0 || value > 65535) raise_value_error(core::range_message(name, 0, 65535, value));
    return static_cast<std::uint16_t>(value);
}

const Signature kClassifyClose{"classify_close", {"close_code"}, 1, 1};
PyObject* classify_close(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kClassifyClose, args, nargs, kwnames);
        std::optional<std::uint16_t> code;
        if (a[0] != Py_None) code = checked_code(a.integer<std::int64_t>(0), "close_code");
        return classification_tuple(core::classify_close(code));
    });
}

const Signature kClassifyUpgrade{"classify_upgrade", {"status"}, 1, 1};
PyObject* classify_upgrade(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kClassifyUpgrade, args, nargs, kwnames);
        std::uint16_t status = checked_code(a.integer<std::int64_t>(0), "status");
        return classification_tuple(core::classify_upgrade(status));
    });
}

PyMethodDef classify_close_def{
    "classify_close", fastcall(&classify_close),
    kFastCall,
    "classify_close(close_code)\n--\n\n"
    "Classify a WebSocket close code. Returns `(terminal, delay_range_s)`.\n"
    "Raises `ValueError` if `close_code` is not an integer in `0..=65535`."};
PyMethodDef classify_upgrade_def{
    "classify_upgrade", fastcall(&classify_upgrade),
    kFastCall,
    "classify_upgrade(status)\n--\n\n"
    "Classify an HTTP upgrade-rejection status code. Returns\n"
    "`(terminal, delay_range_s)`. Raises `ValueError` if `status` is not an\n"
    "integer in `0..=65535`."};

const FunctionRegistration reg_close{&classify_close_def};
const FunctionRegistration reg_upgrade{&classify_upgrade_def};

}  // namespace
}  // namespace orvu::py
