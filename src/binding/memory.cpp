// validate_memory_type_for_system.
#include "binding/args.hpp"
#include "binding/enums.hpp"
#include "binding/legacy.hpp"
#include "binding/registry.hpp"
#include "core/memory.hpp"

namespace orvu::py {
namespace {

// A wire name given as a str or as a member of the matching enumeration.
std::string_view wire_name_argument(PyObject* obj, core::EnumId id, const char* type_error) {
    if (PyUnicode_Check(obj)) return utf8_view(obj);
    if (auto index = enum_index(obj, id)) return core::enum_def(id).variants[*index].wire;
    raise_type_error(type_error);
}

const Signature kValidate{"validate_memory_type_for_system", {"system", "memory_type", "trace_context"}, 3, 2};
PyObject* validate_memory_type_for_system(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    return guarded([&] {
        BoundArgs a = bind(kValidate, args, nargs, kwnames);
        // The trace context is checked before the names it would travel with.
        PyObject* trace_context = a.optional_str_object(2);
        auto system = wire_name_argument(a[0], core::EnumId::MemorySystem, "system must be a str");
        auto memory_type = wire_name_argument(a[1], core::EnumId::MemoryType, "memory_type must be a str");
        core::Issues issues = core::check_memory_type_for_system(system, memory_type);
        if (!issues.empty()) raise_validation(issues, trace_context);
        return none();
    });
}

PyMethodDef validate_def{
    "validate_memory_type_for_system",
    fastcall(&validate_memory_type_for_system),
    kFastCall,
    "validate_memory_type_for_system(system, memory_type, trace_context=None)\n--\n\n"
    "Validate that `memory_type` belongs to `system`'s allowed type set.\n\n"
    "`system`/`memory_type` each accept a wire-name string or the matching\n"
    "`MemorySystem`/`MemoryType` instance, mirroring\n"
    "`validate_event_payload`'s acceptance of either an event-name string or\n"
    "an `EventType`. On failure raises `ValueError` with `.issues` (a tuple\n"
    "of `(path, code, message)` triples) and `.trace_context`. An\n"
    "unrecognized `system` and an unrecognized `memory_type` are independent\n"
    "issues and both are reported when both strings are invalid."};


}  // namespace

namespace reg {
PyMethodDef* validate_memory_type_for_system() { return &validate_def; }
}  // namespace reg

}  // namespace orvu::py
