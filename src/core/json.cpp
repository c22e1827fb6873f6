#include "core/json.hpp"

#include <algorithm>
#include <iterator>

namespace orvu::core {

JsonValue JsonValue::boolean(bool b) {
    JsonValue v;
    v.kind_ = Kind::Bool;
    v.scalar_.b = b;
    return v;
}

JsonValue JsonValue::uint(std::uint64_t u) {
    JsonValue v;
    v.kind_ = Kind::UInt;
    v.scalar_.u = u;
    return v;
}

JsonValue JsonValue::integer(std::int64_t i) {
    if (i >= 0) return uint(static_cast<std::uint64_t>(i));
    JsonValue v;
    v.kind_ = Kind::Int;
    v.scalar_.i = i;
    return v;
}

JsonValue JsonValue::real(double d) {
    JsonValue v;
    v.kind_ = Kind::Float;
    v.scalar_.f = d;
    return v;
}

JsonValue JsonValue::string(std::string s) {
    JsonValue v;
    v.kind_ = Kind::String;
    v.string_ = std::move(s);
    return v;
}

JsonValue JsonValue::borrowed_string(std::string_view text, const void* origin) noexcept {
    JsonValue v;
    v.kind_ = Kind::String;
    v.view_ = text;
    v.origin_ = origin;
    return v;
}

JsonValue JsonValue::array(Array items) {
    JsonValue v;
    v.kind_ = Kind::Array;
    v.array_ = std::move(items);
    return v;
}

JsonValue JsonValue::object(Object members) {
    JsonValue v;
    v.kind_ = Kind::Object;
    const std::size_t n = members.size();
    auto key = [&](std::size_t i) -> std::string_view { return members[i].first; };
    std::size_t first_unsorted = 1;
    while (first_unsorted < n && key(first_unsorted - 1) < key(first_unsorted)) ++first_unsorted;
    if (first_unsorted >= n) {  // already in strictly ascending order
        v.object_ = std::move(members);
        return v;
    }
    // A stable sort of positions keeps insertion order among equal keys, so
    // the last one wins below; each member is then moved once, into place.
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    auto by_key = [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); };
    if (n <= 32) {
        for (std::size_t i = first_unsorted; i < n; ++i) {
            const std::uint32_t moving = order[i];
            std::size_t j = i;
            while (j > 0 && by_key(moving, order[j - 1])) {
                order[j] = order[j - 1];
                --j;
            }
            order[j] = moving;
        }
    } else {
        std::stable_sort(order.begin(), order.end(), by_key);
    }
    // Repeated keys (possible only from mappings whose keys compare unequal
    // in Python but spell the same text): the first keeps its place and the
    // last value.
    Object sorted;
    sorted.reserve(n);
    for (std::uint32_t i : order) {
        if (!sorted.empty() && sorted.back().first == members[i].first) {
            sorted.back().second = std::move(members[i].second);
        } else {
            sorted.push_back(std::move(members[i]));
        }
    }
    v.object_ = std::move(sorted);
    return v;
}

namespace {
template <class Obj>
auto lower_bound_key(Obj& object, std::string_view key) {
    return std::lower_bound(object.begin(), object.end(), key,
                            [](const JsonMember& m, std::string_view k) { return m.first < k; });
}
}  // namespace

const JsonValue* JsonValue::find(std::string_view key) const noexcept {
    if (kind_ != Kind::Object) return nullptr;
    auto it = lower_bound_key(object_, key);
    if (it == object_.end() || it->first != key) return nullptr;
    return &it->second;
}

JsonValue* JsonValue::find(std::string_view key) noexcept {
    return const_cast<JsonValue*>(static_cast<const JsonValue*>(this)->find(key));
}

void JsonValue::set(std::string key, JsonValue value) {
    auto it = lower_bound_key(object_, key);
    if (it != object_.end() && it->first == key) {
        it->second = std::move(value);
    } else {
        object_.emplace(it, std::move(key), std::move(value));
    }
}

bool JsonValue::erase(std::string_view key) {
    auto it = lower_bound_key(object_, key);
    if (it == object_.end() || it->first != key) return false;
    object_.erase(it);
    return true;
}

bool JsonValue::operator==(const JsonValue& o) const {
    if (kind_ != o.kind_) return false;
    switch (kind_) {
        case Kind::Null: return true;
        case Kind::Bool: return scalar_.b == o.scalar_.b;
        case Kind::UInt: return scalar_.u == o.scalar_.u;
        case Kind::Int: return scalar_.i == o.scalar_.i;
        case Kind::Float: return scalar_.f == o.scalar_.f;
        case Kind::String: return as_string() == o.as_string();
        case Kind::Array: return array_ == o.array_;
        case Kind::Object: return object_ == o.object_;
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
