// validate_memory_type_for_system.
#include "binding/enums.hpp"
#include "binding/method.hpp"
#include "binding/registry.hpp"
#include "core/memory.hpp"

namespace orvu::py {
namespace {

// A wire name given as a str or as a member of the matching enumeration.
std::string_view wire_name(const BoundArgs& a, std::size_t i, core::EnumId id, const char* type_error) {
    if (PyUnicode_Check(a[i])) return utf8_view(a[i]);
    if (auto index = enum_index(a.state(), a[i], id)) return core::enum_def(id).variants[*index].wire;
    raise_type_error(type_error);
}

Ref memory_type_check(const BoundArgs& a) {
    // The trace context is checked before the names it would travel with.
    PyObject* trace_context = a.optional_str_object(2);
    const auto system = wire_name(a, 0, core::EnumId::MemorySystem, "system must be a str");
    const auto memory_type = wire_name(a, 1, core::EnumId::MemoryType, "memory_type must be a str");
    unwrap(core::check_memory_type_for_system(system, memory_type), trace_context);
    return result::none();
}

}  // namespace

PyMethodDef reg::validate_memory_type_for_system = function<&memory_type_check>(
    "validate_memory_type_for_system(system: str | MemorySystem, memory_type: str | MemoryType, "
    "trace_context: str | None = None) -> None",
    "Validate that `memory_type` belongs to `system`'s allowed type set.\n\n"
    "`system`/`memory_type` each accept a wire-name string or the matching\n"
    "`MemorySystem`/`MemoryType` instance, mirroring\n"
    "`validate_event_payload`'s acceptance of either an event-name string or\n"
    "an `EventType`. On failure raises `ValueError` with `.issues` (a tuple\n"
    "of `(path, code, message)` triples) and `.trace_context`. An\n"
    "unrecognized `system` and an unrecognized `memory_type` are independent\n"
    "issues and both are reported when both strings are invalid.");

}  // namespace orvu::py
