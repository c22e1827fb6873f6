#include "binding/legacy.hpp"

#include "binding/module.hpp"

#include <string_view>

namespace orvu::py {
namespace {
ModuleState* current = nullptr;
}  // namespace

ModuleState& legacy_state() {
    if (!current) raise(PyExc_SystemError, "orvu_sdk_core: module state is gone");
    return *current;
}

void set_legacy_state(ModuleState* state) noexcept {
    if (!current) current = state;  // the first module imported keeps it
}

void forget_legacy_state(ModuleState* state) noexcept {
    if (current == state) current = nullptr;
}

PyTypeObject* module_type(const char* name) {
    for (const ClassEntry& entry : class_table()) {
        if (std::string_view(entry.name) == name) return legacy_state().type(entry.id);
    }
    raise(PyExc_SystemError, std::string("orvu_sdk_core: class not registered: ") + name);
}

}  // namespace orvu::py
