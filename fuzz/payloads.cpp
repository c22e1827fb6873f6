// Conversion and validation of event payloads. An input is an event name, a
// line break and JSON text; the payload is converted as a host's value is
// (object keys in ascending byte order, a repeated key keeping its last
// value) and validated. The core's result or issues are compared with a
// model of the payload schemas, and a valid result validated again must come
// back unchanged without issues.
#include "adapter.hpp"
#include "check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace orvu::fuzz {
namespace {

// The conversion: objects sorted by key bytes, the last of a repeated key kept.
Json convert(const Json& v) {
    Json out = v;
    for (Json& item : out.items) item = convert(item);
    if (v.is(Json::Kind::Object)) {
        out.members.clear();
        for (const auto& [key, value] : v.members) out.set(key, convert(value));
        std::sort(out.members.begin(), out.members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    return out;
}

enum class Type { String, Boolean, Array, Object };
enum class Presence { Required, RequiredNullable, Optional, OptionalNullable };

const char* type_name(Type t) {
    switch (t) {
        case Type::String: return "string";
        case Type::Boolean: return "boolean";
        case Type::Array: return "array";
        default: return "object";
    }
}
bool has_type(const Json& v, Type t) {
    switch (t) {
        case Type::String: return v.is(Json::Kind::String);
        case Type::Boolean: return v.is(Json::Kind::Bool);
        case Type::Array: return v.is(Json::Kind::Array);
        default: return v.is(Json::Kind::Object);
    }
}

class Checker {
public:
    std::vector<Issue> issues;

    void missing(const std::string& path) { issues.push_back({path, "missing", "required field `" + path + "` is missing"}); }
    void wrong(const std::string& path, Type t) {
        const std::string name = type_name(t);
        issues.push_back({path, "wrong_type", "`" + path + "` must be " + (name[0] == 'a' || name[0] == 'o' ? "an " : "a ") + name});
    }
    // One field rule; true when the value is present with the field's type.
    bool field(const Json& object, const std::string& key, const std::string& path, Presence p, Type t = Type::String) {
        const Json* v = object.find(key);
        const bool required = p == Presence::Required || p == Presence::RequiredNullable;
        const bool nullable = p == Presence::RequiredNullable || p == Presence::OptionalNullable;
        if (!v) {
            if (required) missing(path);
            return false;
        }
        if (v->is(Json::Kind::Null) && nullable) return false;
        if (!has_type(*v, t)) {
            wrong(path, t);
            return false;
        }
        return true;
    }
    void one_of(const Json& object, const std::string& key, std::vector<std::string> allowed) {
        if (!field(object, key, key, Presence::Required)) return;
        const std::string& s = object.find(key)->s;
        if (std::find(allowed.begin(), allowed.end(), s) != allowed.end()) return;
        std::string list;
        for (const auto& a : allowed) list += (list.empty() ? "" : ", ") + a;
        issues.push_back({key, "invalid_value", "`" + key + "` must be one of: " + list});
    }
    void strings(const Json& object, std::initializer_list<const char*> keys, Presence p) {
        for (const char* k : keys) field(object, k, k, p);
    }
    // The remote-flag pair: both optional nullable booleans, each standing in for the other.
    void remote_flags(const Json& in, Json& out) {
        field(in, "is_remote", "is_remote", Presence::OptionalNullable, Type::Boolean);
        field(in, "is_external", "is_external", Presence::OptionalNullable, Type::Boolean);
        const Json* remote = in.find("is_remote");
        const Json* external = in.find("is_external");
        const bool r = remote && remote->is(Json::Kind::Bool), e = external && external->is(Json::Kind::Bool);
        if (e && !r) out.set("is_remote", *external);
        if (r && !e) out.set("is_external", *remote);
    }
};

void message(Checker& c, const Json& in, Json& out) {
    c.strings(in, {"id", "content", "message_type", "sender_type", "sender_id", "inserted_at", "updated_at"}, Presence::Required);
    c.field(in, "sender_name", "sender_name", Presence::OptionalNullable);
    const Json* metadata = in.find("metadata");
    if (!metadata || metadata->is(Json::Kind::Null)) {
        out.set("metadata", Json::object({{"mentions", Json::array()}}));
    } else if (!metadata->is(Json::Kind::Object)) {
        c.wrong("metadata", Type::Object);
    } else {
        Json normal = *metadata;
        const Json* mentions = metadata->find("mentions");
        if (!mentions || mentions->is(Json::Kind::Null)) {
            normal.set("mentions", Json::array());
        } else if (!mentions->is(Json::Kind::Array)) {
            c.wrong("metadata.mentions", Type::Array);
        } else {
            for (std::size_t i = 0; i < mentions->items.size(); ++i) {
                const std::string path = "metadata.mentions[" + std::to_string(i) + "]";
                const Json& m = mentions->items[i];
                if (!m.is(Json::Kind::Object)) {
                    c.wrong(path, Type::Object);
                    continue;
                }
                c.field(m, "id", path + ".id", Presence::Required);
                for (const char* k : {"username", "handle", "name"}) c.field(m, k, path + "." + k, Presence::OptionalNullable);
            }
        }
        std::sort(normal.members.begin(), normal.members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        out.set("metadata", normal);
    }
    const Json* attachments = in.find("attachments");
    if (!attachments || attachments->is(Json::Kind::Null)) {
        out.set("attachments", Json::array());
    } else if (!attachments->is(Json::Kind::Array)) {
        c.wrong("attachments", Type::Array);
    }
}

void supersede(Checker& c, const Json& in, Json& out) {
    c.strings(in, {"reason", "message"}, Presence::Required);
    c.field(in, "target_socket_id", "target_socket_id", Presence::OptionalNullable);
    c.field(in, "correlation_id", "correlation_id", Presence::RequiredNullable);
    const Json* retryable = in.find("retryable");
    out.set("retryable", Json::boolean(retryable && retryable->is(Json::Kind::Bool) && retryable->b));
    if (const Json* after = in.find("retry_after")) {
        Json coerced;
        if (after->is(Json::Kind::Int) || (after->is(Json::Kind::UInt) && after->u < (std::uint64_t{1} << 63))) {
            coerced = *after;
        } else if (after->is(Json::Kind::Float) && after->f >= -9223372036854775808.0 && after->f < 9223372036854775808.0 &&
                   after->f == std::trunc(after->f)) {
            coerced = Json::integer(static_cast<std::int64_t>(after->f));
        }
        out.set("retry_after", coerced);
    }
}

using Schema = std::function<void(Checker&, const Json&, Json&)>;

const Schema* schema_of(const std::string& name) {
    using P = Presence;
    static const Schema kMessage = message;
    static const Schema kRoom = [](Checker& c, const Json& in, Json&) {
        c.strings(in, {"id", "inserted_at", "updated_at"}, P::Required);
        c.strings(in, {"title", "task_id"}, P::OptionalNullable);
    };
    static const Schema kIdOnly = [](Checker& c, const Json& in, Json&) { c.strings(in, {"id"}, P::Required); };
    static const Schema kParticipant = [](Checker& c, const Json& in, Json& out) {
        c.strings(in, {"id", "type", "name"}, P::Required);
        c.field(in, "handle", "handle", P::Optional);
        c.field(in, "description", "description", P::OptionalNullable);
        c.remote_flags(in, out);
    };
    static const Schema kContactAdded = [](Checker& c, const Json& in, Json& out) {
        c.strings(in, {"id", "type", "inserted_at"}, P::Required);
        c.strings(in, {"handle", "name"}, P::RequiredNullable);
        c.field(in, "description", "description", P::Optional);
        c.field(in, "listed_in_directory", "listed_in_directory", P::Optional, Type::Boolean);
        c.field(in, "tags", "tags", P::Optional, Type::Array);
        c.remote_flags(in, out);
    };
    static const Schema kRequestUpdated = [](Checker& c, const Json& in, Json&) { c.strings(in, {"id", "status"}, P::Required); };
    static const Schema kRequestReceived = [](Checker& c, const Json& in, Json& out) {
        c.strings(in, {"id", "status", "inserted_at"}, P::Required);
        for (const char* k : {"from_handle", "from_name", "message"}) {
            c.field(in, k, k, P::OptionalNullable);
            const Json* v = in.find(k);
            if (v && v->is(Json::Kind::Null)) out.erase(k);
        }
    };
    static const Schema kSupersede = supersede;
    static const Schema kControl = [](Checker& c, const Json& in, Json&) {
        c.one_of(in, "mode", {"interrupt", "stop", "play"});
        c.one_of(in, "scope", {"agent", "room"});
        c.strings(in, {"agent_id", "correlation_id"}, P::Required);
        c.strings(in, {"execution_id", "room_id"}, P::RequiredNullable);
        c.strings(in, {"reason", "type"}, P::Optional);
    };
    static const std::vector<std::pair<std::string, const Schema*>> kTypes = {
        {"message_created", &kMessage}, {"message_updated", &kMessage}, {"room_added", &kRoom},
        {"room_removed", &kRoom}, {"room_deleted", &kIdOnly}, {"participant_added", &kParticipant},
        {"participant_removed", &kParticipant}, {"contact_request_received", &kRequestReceived},
        {"contact_request_updated", &kRequestUpdated}, {"contact_added", &kContactAdded},
        {"contact_removed", &kIdOnly}, {"supersede", &kSupersede}, {"agent.control", &kControl},
        {"event_created", nullptr}};
    static const Schema kUnknown;
    for (const auto& [n, s] : kTypes) {
        if (n == name) return s;
    }
    return &kUnknown;
}

Validation model_validate(const std::string& name, const Json& raw) {
    const Schema* schema = schema_of(name);
    if (schema && !*schema) return {std::nullopt, {{"event_type", "invalid_value", "unknown event type `" + name + "`"}}};
    const Json payload = convert(raw);
    if (!schema) return {payload, {}};
    if (!payload.is(Json::Kind::Object)) return {std::nullopt, {{"", "wrong_type", "payload must be a JSON object"}}};
    Checker checker;
    Json out = payload;
    (*schema)(checker, payload, out);
    if (!checker.issues.empty()) return {std::nullopt, checker.issues};
    std::sort(out.members.begin(), out.members.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return {out, {}};
}

}  // namespace
}  // namespace orvu::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace orvu::fuzz;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t line = input.find('\n');
    if (line == std::string_view::npos) return -1;
    const std::string name(input.substr(0, line));
    const std::optional<Json> raw = parse_json(input.substr(line + 1));
    if (!raw) return -1;
    const Validation got = validate_event_payload(name, *raw);
    const Validation want = model_validate(name, *raw);
    FUZZ_SAME(got.issues, want.issues, "issues of ", name, " ", *raw);
    FUZZ_SAME(got.value, want.value, "result of ", name, " ", *raw);
    if (got.value) {
        const Validation again = validate_event_payload(name, *got.value);
        FUZZ_SAME(again.issues, std::vector<Issue>{}, "issues of a valid result validated again");
        FUZZ_SAME(again.value, got.value, "a valid result validated again");
    }
    return 0;
}
