// Conversion and validation of event payloads. An input is an event name, a
// line break and JSON text; the payload is converted as a host's value is
// (object keys in ascending byte order, a repeated key keeping its last
// value) and validated. The core's result or issues are compared with a
// model of the payload schemas, and a valid result validated again must come
// back unchanged without issues. A custom mutator edits the payload as a
// tree, so that mutated inputs stay JSON.
#include "adapter.hpp"
#include "check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

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

// ---------------------------------------------------------------------------
// Mutation that keeps an input a payload: byte-level mutations of JSON text
// seldom give JSON again, so most mutations edit the tree instead (the event
// name, a member with a schema key, a value of another kind) and write the
// text anew.

const std::vector<std::string> kEventNames = {
    "message_created", "message_updated", "room_added", "room_removed", "room_deleted", "participant_added",
    "participant_removed", "contact_request_received", "contact_request_updated", "contact_added", "contact_removed",
    "supersede", "agent.control", "event_created", "agent_control", "Supersede"};
const std::vector<std::string> kSchemaKeys = {
    "id", "content", "message_type", "sender_type", "sender_id", "inserted_at", "updated_at", "sender_name",
    "metadata", "mentions", "attachments", "username", "handle", "name", "title", "task_id", "type", "description",
    "is_remote", "is_external", "listed_in_directory", "tags", "status", "from_handle", "from_name", "message",
    "reason", "target_socket_id", "correlation_id", "retryable", "retry_after", "mode", "scope", "agent_id",
    "execution_id", "room_id", "x"};

Json random_value(std::minstd_rand& rng, int depth = 0) {
    switch (rng() % (depth > 2 ? 10 : 14)) {
        case 0: return Json::null();
        case 1: return Json::boolean(true);
        case 2: return Json::boolean(false);
        case 3: return Json::string("");
        case 4: return Json::string(rng() % 2 ? "stop" : "x");
        case 5: return Json::integer(static_cast<std::int64_t>(rng() % 3) - 1);
        case 6: {
            Json big;
            big.kind = Json::Kind::UInt;
            big.u = (std::uint64_t{1} << 63) - (rng() % 2);
            return big;
        }
        case 7: {
            static constexpr double kFloats[] = {30.0, 1.5, -0.0, 9223372036854775808.0, -9223372036854775808.0, 1e300};
            Json f;
            f.kind = Json::Kind::Float;
            f.f = kFloats[rng() % std::size(kFloats)];
            return f;
        }
        case 8: return Json::integer(std::numeric_limits<std::int64_t>::min());
        case 9: return Json::string(kSchemaKeys[rng() % kSchemaKeys.size()]);
        case 10: return Json::array();
        case 11: return Json::object();
        case 12: return Json::array({random_value(rng, depth + 1)});
        default: return Json::object({{kSchemaKeys[rng() % kSchemaKeys.size()], random_value(rng, depth + 1)}});
    }
}

void collect(Json& v, std::vector<Json*>& all) {
    all.push_back(&v);
    for (Json& item : v.items) collect(item, all);
    for (auto& m : v.members) collect(m.second, all);
}

// A valid payload of each checked event type, to start afresh from: most
// findings need a payload that passes every check but one.
const std::vector<std::pair<std::string, std::string>> kValid = {
    {"message_created", R"({"id":"m1","content":"hi","message_type":"text","sender_type":"User","sender_id":"u1","inserted_at":"t","updated_at":"t"})"},
    {"room_added", R"({"id":"r1","inserted_at":"t","updated_at":"t"})"},
    {"room_deleted", R"({"id":"r1"})"},
    {"participant_added", R"({"id":"p1","type":"User","name":"Pat"})"},
    {"contact_request_received", R"({"id":"q1","status":"pending","inserted_at":"t"})"},
    {"contact_request_updated", R"({"id":"q1","status":"accepted"})"},
    {"contact_added", R"({"id":"c1","type":"User","inserted_at":"t","handle":null,"name":null})"},
    {"supersede", R"({"reason":"r","message":"m","correlation_id":null})"},
    {"agent.control", R"({"mode":"stop","scope":"room","agent_id":"a1","correlation_id":"c1","execution_id":null,"room_id":null})"},
};

bool mutate_tree(std::string& name, Json& payload, std::minstd_rand& rng) {
    if (rng() % 8 == 0) {
        const auto& [event, text] = kValid[rng() % kValid.size()];
        name = event;
        payload = *parse_json(text);
        return true;
    }
    std::vector<Json*> nodes;
    collect(payload, nodes);
    std::vector<Json*> objects, arrays;
    for (Json* n : nodes) (n->is(Json::Kind::Object) ? objects : arrays).push_back(n);
    std::erase_if(arrays, [](Json* n) { return !n->is(Json::Kind::Array); });
    switch (rng() % 6) {
        case 0: name = kEventNames[rng() % kEventNames.size()]; return true;
        case 1:
        case 2:
            if (objects.empty()) return false;
            objects[rng() % objects.size()]->set(kSchemaKeys[rng() % kSchemaKeys.size()], random_value(rng));
            return true;
        case 3: {
            if (objects.empty()) return false;
            Json* o = objects[rng() % objects.size()];
            if (o->members.empty()) return false;
            o->members.erase(o->members.begin() + static_cast<std::ptrdiff_t>(rng() % o->members.size()));
            return true;
        }
        case 4:
            if (arrays.empty()) return false;
            arrays[rng() % arrays.size()]->items.push_back(random_value(rng));
            return true;
        default: *nodes[rng() % nodes.size()] = random_value(rng); return true;
    }
}

}  // namespace
}  // namespace orvu::fuzz

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
    using namespace orvu::fuzz;
    std::minstd_rand rng(seed);
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t line = input.find('\n');
    if (line != std::string_view::npos && rng() % 8 != 0) {
        std::string name(input.substr(0, line));
        if (std::optional<Json> payload = parse_json(input.substr(line + 1))) {
            for (unsigned edits = 1 + rng() % 3; edits > 0; --edits) mutate_tree(name, *payload, rng);
            const std::string text = name + "\n" + to_json_text(*payload);
            if (text.size() <= max_size) {
                std::copy(text.begin(), text.end(), data);
                return text.size();
            }
        }
    }
    return LLVMFuzzerMutate(data, size, max_size);
}

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
