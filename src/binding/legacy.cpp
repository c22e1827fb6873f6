#include "binding/legacy.hpp"

#include "binding/module.hpp"

#include <algorithm>
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

// The class table is in alphabetical order: a binary search by name.
PyTypeObject* module_type(const char* name) {
    const auto table = class_table();
    const auto it = std::lower_bound(table.begin(), table.end(), std::string_view(name),
                                     [](const ClassEntry& e, std::string_view n) { return e.name < n; });
    if (it == table.end() || it->name != std::string_view(name)) {
        raise(PyExc_SystemError, std::string("orvu_sdk_core: class not registered: ") + name);
    }
    return legacy_state().type(it->id);
}

}  // namespace orvu::py
