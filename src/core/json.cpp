#include "core/json.hpp"

#include "core/scratch.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace orvu::core {
namespace {
constexpr auto key_less = json_key_less;
}  // namespace

const JsonValue::Array& JsonValue::empty_array() noexcept {
    static const Array empty;
    return empty;
}

const JsonValue::Object& JsonValue::empty_object() noexcept {
    static const Object empty;
    return empty;
}

JsonValue::JsonValue(const JsonValue& other) : kind_(other.kind_) {
    switch (kind_) {
        case Kind::String: ::new (&u_.text) std::string(other.u_.text); break;
        case Kind::Array: ::new (&u_.array) Array(other.u_.array); break;
        case Kind::Object: ::new (&u_.object) Object(other.u_.object); break;
        default: u_.scalar = other.u_.scalar; break;
    }
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
    if (this != &other) *this = JsonValue(other);
    return *this;
}

JsonValue JsonValue::boolean(bool b) {
    JsonValue v;
    v.kind_ = Kind::Bool;
    v.u_.scalar.b = b;
    return v;
}

JsonValue JsonValue::uint(std::uint64_t u) {
    JsonValue v;
    v.kind_ = Kind::UInt;
    v.u_.scalar.u = u;
    return v;
}

JsonValue JsonValue::integer(std::int64_t i) {
    if (i >= 0) return uint(static_cast<std::uint64_t>(i));
    JsonValue v;
    v.kind_ = Kind::Int;
    v.u_.scalar.i = i;
    return v;
}

JsonValue JsonValue::real(double d) {
    JsonValue v;
    v.kind_ = Kind::Float;
    v.u_.scalar.f = d;
    return v;
}

JsonValue JsonValue::string(std::string s) {
    JsonValue v;
    ::new (&v.u_.text) std::string(std::move(s));
    v.kind_ = Kind::String;
    return v;
}

JsonValue JsonValue::array(Array items) {
    JsonValue v;
    ::new (&v.u_.array) Array(std::move(items));
    v.kind_ = Kind::Array;
    return v;
}

JsonValue JsonValue::object() { return object(Object()); }

JsonValue JsonValue::object(Object members) {
    JsonValue v;
    const std::size_t n = members.size();
    auto key = [&](std::size_t i) -> std::string_view { return members[i].first; };
    std::size_t ascending = 1;
    while (ascending < n && key_less(key(ascending - 1), key(ascending))) ++ascending;
    if (ascending >= n) {  // already in strictly ascending order
        ::new (&v.u_.object) Object(std::move(members));
        v.kind_ = Kind::Object;
        return v;
    }
    // A stable sort of positions keeps insertion order among equal keys, so
    // the last one wins below. Small objects sort on the stack.
    Scratch<std::uint32_t, kInsertionSortMembers> positions(n);
    const std::span<std::uint32_t> order = positions.items();
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    sort_members(order, [&](std::uint32_t a, std::uint32_t b) { return key_less(key(a), key(b)); });
    bool repeated = false;
    for (std::size_t k = 1; k < n && !repeated; ++k) repeated = key(order[k - 1]) == key(order[k]);
    if (!repeated) {
        // Every key once: the members are put in order in place, one cycle
        // of the permutation at a time (a placed position is marked done).
        constexpr std::uint32_t kDone = ~std::uint32_t{0};
        for (std::size_t start = 0; start < n; ++start) {
            if (order[start] == kDone || order[start] == start) continue;
            JsonMember held = std::move(members[start]);
            std::size_t to = start;
            while (order[to] != start) {
                const std::uint32_t from = order[to];
                members[to] = std::move(members[from]);
                order[to] = kDone;
                to = from;
            }
            members[to] = std::move(held);
            order[to] = kDone;
        }
        ::new (&v.u_.object) Object(std::move(members));
        v.kind_ = Kind::Object;
        return v;
    }
    // Repeated keys (possible only from mappings whose keys compare unequal
    // in Python but spell the same text): the first keeps its place and the
    // last value.
    Object sorted;
    sorted.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t i = order[k];
        if (!sorted.empty() && sorted.back().first == members[i].first) {
            sorted.back().second = std::move(members[i].second);
        } else {
            sorted.push_back(std::move(members[i]));
        }
    }
    ::new (&v.u_.object) Object(std::move(sorted));
    v.kind_ = Kind::Object;
    return v;
}

namespace {
template <class Obj>
auto lower_bound_key(Obj& object, std::string_view key) {
    return std::lower_bound(object.begin(), object.end(), key,
                            [](const JsonMember& m, std::string_view k) { return key_less(m.first, k); });
}
}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const noexcept {
    if (kind_ != Kind::Object) return nullptr;
    // Up to this size a scan, which mostly compares lengths (keys differ in
    // length more often than not), costs no more than the four or so whole
    // key comparisons of a binary search.
    constexpr std::size_t kScannedMembers = 16;
    if (u_.object.size() <= kScannedMembers) {
        for (const JsonMember& m : u_.object) {
            if (m.first.size() == key.size() && m.first == key) return &m.second;
        }
        return nullptr;
    }
    auto it = lower_bound_key(u_.object, key);
    if (it == u_.object.end() || it->first != key) return nullptr;
    return &it->second;
}

JsonValue* JsonValue::find(std::string_view key) noexcept {
    return const_cast<JsonValue*>(static_cast<const JsonValue*>(this)->find(key));
}

bool JsonValue::operator==(const JsonValue& o) const {
    if (kind_ != o.kind_) return false;
    switch (kind_) {
        case Kind::Null: return true;
        case Kind::Bool: return u_.scalar.b == o.u_.scalar.b;
        case Kind::UInt: return u_.scalar.u == o.u_.scalar.u;
        case Kind::Int: return u_.scalar.i == o.u_.scalar.i;
        case Kind::Float: return u_.scalar.f == o.u_.scalar.f;
        case Kind::String: return as_string() == o.as_string();
        case Kind::Array: return u_.array == o.u_.array;
        case Kind::Object: return u_.object == o.u_.object;
    }
    return false;
}

std::string_view json_type_name(JsonValue::Kind kind) noexcept {
    switch (kind) {
        case JsonValue::Kind::Null: return "null";
        case JsonValue::Kind::Bool: return "boolean";
        case JsonValue::Kind::UInt:
        case JsonValue::Kind::Int:
        case JsonValue::Kind::Float: return "number";
        case JsonValue::Kind::String: return "string";
        case JsonValue::Kind::Array: return "array";
        case JsonValue::Kind::Object: return "object";
    }
    return "unknown";
}

std::string_view issue_code_wire(IssueCode code) noexcept {
    switch (code) {
        case IssueCode::Missing: return "missing";
        case IssueCode::WrongType: return "wrong_type";
        case IssueCode::InvalidValue: return "invalid_value";
    }
    return "invalid_value";
}

std::string_view article_for(std::string_view type_name) noexcept {
    if (!type_name.empty()) {
        switch (type_name.front()) {
            case 'a': case 'e': case 'i': case 'o': case 'u': return "an";
            default: break;
        }
    }
    return "a";
}

void add_issue(Issues& out, std::string path, IssueCode code, std::string message) {
    out.push_back(Issue{std::move(path), std::move(message), code});
}

void add_missing(Issues& out, std::string path) {
    std::string msg = "required field `" + path + "` is missing";
    add_issue(out, std::move(path), IssueCode::Missing, std::move(msg));
}

void add_wrong_type(Issues& out, std::string path, std::string_view type_name) {
    std::string msg = "`" + path + "` must be ";
    msg += article_for(type_name);
    msg += ' ';
    msg += type_name;
    add_issue(out, std::move(path), IssueCode::WrongType, std::move(msg));
}

void add_not_one_of(Issues& out, std::string path, const std::vector<std::string_view>& allowed) {
    std::string msg = "`" + path + "` must be one of: ";
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        if (i) msg += ", ";
        msg += allowed[i];
    }
    add_issue(out, std::move(path), IssueCode::InvalidValue, std::move(msg));
}

std::string path_field(std::string_view parent, std::string_view key) {
    std::string p;
    p.reserve(parent.size() + key.size() + 1);
    p += parent;
    if (!parent.empty()) p += '.';
    p += key;
    return p;
}

std::string path_index(std::string_view parent, std::size_t index) {
    std::string p(parent);
    p += '[';
    p += std::to_string(index);
    p += ']';
    return p;
}

}  // namespace orvu::core
