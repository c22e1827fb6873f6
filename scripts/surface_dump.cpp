// Prints the module's surface as JSON for scripts/gen_stubs.py: the classes
// and functions in registration order, every declaration with its docstring
// as the binding recorded it while its tables were built, the enumerations,
// the event payload rules and the session policy's settings. It links the
// binding but never starts an interpreter: building the tables calls none.
#include "binding/args.hpp"
#include "binding/registry.hpp"
#include "core/asks.hpp"
#include "core/claims.hpp"
#include "core/events.hpp"
#include "core/retry.hpp"
#include "core/session_policy.hpp"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

using namespace orvu;

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + '"';
}

const char* kTypeNames[] = {"string", "boolean", "array", "object"};
const char* kActionNames[] = {"check", "fill_empty", "drop_null", "remote_flags", "coerce_bool", "coerce_integer"};

std::string rules(std::span<const core::FieldRule> fields) {
    std::string out = "[";
    for (const core::FieldRule& r : fields) {
        if (out.size() > 1) out += ",";
        out += "{\"key\":" + quoted(r.key) + ",\"type\":" + quoted(kTypeNames[static_cast<int>(r.type)]) +
               ",\"required\":" + (r.required ? "true" : "false") + ",\"nullable\":" + (r.nullable ? "true" : "false") +
               ",\"action\":" + quoted(kActionNames[static_cast<int>(r.action)]) + ",\"partner\":" + quoted(r.partner) +
               ",\"allowed\":[";
        for (std::size_t i = 0; i < r.allowed.size(); ++i) out += (i ? "," : "") + quoted(r.allowed[i]);
        out += "],\"fields\":" + rules(r.fields) + "}";
    }
    return out + "]";
}

double policy_default(const core::PolicyKey& key) {
    const core::SessionPolicy policy;
    switch (key.kind) {
        case core::PolicyValueKind::Duration: return (policy.*key.duration).seconds();
        case core::PolicyValueKind::Factor: return policy.factor;
        case core::PolicyValueKind::Count: return policy.rapid_threshold;
    }
    return 0;
}

}  // namespace

int main() {
    std::string out = "{\"classes\":[";
#define ORVU_DUMP_CLASS(Name) out += "[" + quoted(#Name) + ",false],";
#define ORVU_DUMP_ENUM(Name) out += "[" + quoted(#Name) + ",true],";
    ORVU_CLASSES(ORVU_DUMP_CLASS, ORVU_DUMP_ENUM)
    out.back() = ']';
    out += ",\"functions\":[";
#define ORVU_DUMP_FUNCTION(name) out += quoted(#name) + ",";
    ORVU_FUNCTIONS(ORVU_DUMP_FUNCTION)
    out.back() = ']';
    out += ",\"declarations\":[";
    for (const py::SurfaceEntry& e : py::surface()) {
        out += "{\"owner\":" + quoted(e.owner) + ",\"declaration\":" + quoted(e.declaration) +
               ",\"doc\":" + quoted(e.doc) + "},";
    }
    out.back() = ']';
    out += ",\"enums\":[";
    for (const core::EnumDef& def : core::all_enum_defs()) {
        out += "{\"name\":" + quoted(def.class_name) +
               ",\"variants\":[";
        for (const core::EnumVariant& v : def.variants) out += "[" + quoted(v.name) + "," + quoted(v.wire) + "],";
        out.back() = ']';
        out += "},";
    }
    out.back() = ']';
    out += ",\"events\":[";
    for (std::size_t i = 0; i < core::enum_def(core::EnumId::EventType).variants.size(); ++i) {
        const auto type = static_cast<core::EventType>(i);
        const core::EventSchema& schema = core::event_schema(type);
        // Event types that share a table share its address.
        out += "{\"variant\":" + quoted(core::enum_def(core::EnumId::EventType).variants[i].name) +
               ",\"wire\":" + quoted(core::wire_of(core::EnumId::EventType, type)) +
               ",\"checked\":" + (schema.checked ? "true" : "false") +
               ",\"table\":" + std::to_string(reinterpret_cast<std::uintptr_t>(schema.fields.data())) +
               ",\"fields\":" + rules(schema.fields) + "},";
    }
    out.back() = ']';
    out += ",\"policy\":[";
    for (const core::PolicyKey& key : core::session_policy_keys()) {
        out += "[" + quoted(key.name) + "," + std::to_string(policy_default(key)) + "],";
    }
    out.back() = ']';
    out += ",\"ranges\":{";
    const std::pair<const char*, core::IntRange> ranges[] = {
        {"max_completed", core::kMaxCompletedRange}, {"max_retries", core::kMaxRetriesRange},
        {"max_tracked", core::kMaxTrackedRange}, {"max_pending", core::kMaxPendingRange}};
    for (const auto& [name, range] : ranges) {
        out += quoted(name) + ":" + quoted(std::to_string(range.low) + ".." + std::to_string(range.high)) + ",";
    }
    out.back() = '}';
    std::puts((out + "}").c_str());
    return 0;
}
