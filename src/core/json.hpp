// The JSON-like value that payloads are converted into before they are
// checked, and the validation findings (issues) reported about them.
#pragma once

#include "core/bytes.hpp"
#include "core/scratch.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvu::core {

class JsonValue;

struct JsonMember;

class JsonValue {
public:
    enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };
    using Array = std::vector<JsonValue>;
    using Object = std::vector<JsonMember>;

    JsonValue() noexcept {}
    JsonValue(const JsonValue& other);
    JsonValue(JsonValue&& other) noexcept { take(std::move(other)); }
    JsonValue& operator=(const JsonValue& other);
    JsonValue& operator=(JsonValue&& other) noexcept;
    ~JsonValue() { destroy(); }
    static JsonValue null() { return JsonValue(); }
    static JsonValue boolean(bool b);
    static JsonValue uint(std::uint64_t u);
    // Negative integers are stored signed; non-negative ones are stored unsigned.
    static JsonValue integer(std::int64_t i);
    static JsonValue real(double d);
    static JsonValue string(std::string s);
    static JsonValue array(Array items = {});
    // Members in any order; they are sorted and a repeated key keeps its last value.
    static JsonValue object(Object members);
    // An empty object. (Not a default argument: JsonMember is still
    // incomplete here, and some standard libraries refuse to destroy a
    // vector of it at this point.)
    static JsonValue object();

    Kind kind() const noexcept { return kind_; }
    bool is_null() const noexcept { return kind_ == Kind::Null; }
    bool is_bool() const noexcept { return kind_ == Kind::Bool; }
    bool is_number() const noexcept { return kind_ == Kind::UInt || kind_ == Kind::Int || kind_ == Kind::Float; }
    bool is_integer() const noexcept { return kind_ == Kind::UInt || kind_ == Kind::Int; }
    bool is_string() const noexcept { return kind_ == Kind::String; }
    bool is_array() const noexcept { return kind_ == Kind::Array; }
    bool is_object() const noexcept { return kind_ == Kind::Object; }

    // Scalar accessors: meaningful only for a value of that kind.
    bool as_bool() const noexcept { return u_.scalar.b; }
    std::uint64_t as_uint() const noexcept { return u_.scalar.u; }
    std::int64_t as_int() const noexcept { return u_.scalar.i; }
    double as_float() const noexcept { return u_.scalar.f; }
    // The text of a string; empty for any other kind.
    std::string_view as_string() const noexcept { return kind_ == Kind::String ? std::string_view(u_.text) : ""; }
    // The items of an array, the members of an object; empty for any other
    // kind. The changing forms require a value of that kind.
    const Array& as_array() const noexcept { return kind_ == Kind::Array ? u_.array : empty_array(); }
    Array& as_array() noexcept { return u_.array; }
    const Object& as_object() const noexcept { return kind_ == Kind::Object ? u_.object : empty_object(); }
    Object& as_object() noexcept { return u_.object; }

    // Object access by key (binary search); nullptr when absent or not an object.
    const JsonValue* find(std::string_view key) const noexcept;
    JsonValue* find(std::string_view key) noexcept;

    bool operator==(const JsonValue& other) const;

private:
    static const Array& empty_array() noexcept;
    static const Object& empty_object() noexcept;
    // Ends the active member's life; the value is null afterwards.
    void destroy() noexcept;
    // Builds this (null) value from `other`, which is left null.
    void take(JsonValue&& other) noexcept;

    union Scalar {
        bool b;
        std::uint64_t u;
        std::int64_t i;
        double f;
    };
    // One member is alive at a time, chosen by `kind_`. Keeping them in one
    // union makes a node small and cheap to move.
    union Storage {
        Scalar scalar;
        std::string text;
        Array array;
        Object object;
        Storage() noexcept : scalar{.u = 0} {}
        ~Storage() {}
    };

    Kind kind_ = Kind::Null;
    Storage u_;
};

// One object member.
struct JsonMember {
    std::string first;
    JsonValue second;

    JsonMember(std::string key, JsonValue value) noexcept : first(std::move(key)), second(std::move(value)) {}
    JsonMember(std::string_view key, JsonValue value) : first(key), second(std::move(value)) {}
    bool operator==(const JsonMember& other) const { return first == other.first && second == other.second; }
};

inline void JsonValue::destroy() noexcept {
    switch (kind_) {
        case Kind::String: u_.text.~basic_string(); break;
        case Kind::Array: u_.array.~Array(); break;
        case Kind::Object: u_.object.~Object(); break;
        default: break;
    }
    kind_ = Kind::Null;
}

inline void JsonValue::take(JsonValue&& other) noexcept {
    kind_ = other.kind_;
    switch (kind_) {
        case Kind::String: ::new (&u_.text) std::string(std::move(other.u_.text)); break;
        case Kind::Array: ::new (&u_.array) Array(std::move(other.u_.array)); break;
        case Kind::Object: ::new (&u_.object) Object(std::move(other.u_.object)); break;
        default: u_.scalar = other.u_.scalar; break;
    }
    // A moved-from string or vector owns no memory: its life may end
    // without its destructor running, which leaves `other` a plain null.
    other.kind_ = Kind::Null;
}

inline JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
    if (this == &other) return *this;
    if (kind_ == Kind::Array || kind_ == Kind::Object) {
        // Through a temporary: `other` may live inside this value.
        JsonValue moved(std::move(other));
        destroy();
        take(std::move(moved));
    } else {
        destroy();
        take(std::move(other));
    }
    return *this;
}

// Deepest nesting of arrays and objects a payload may have.
inline constexpr int kMaxJsonDepth = 512;

// The order of object keys: ascending bytes, compared in place, eight at a
// time (keys are short and often share a prefix such as "sender_", where a
// library call would cost more than the work).
inline bool json_key_less(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t x = bytes::big_endian_word(a.data() + i), y = bytes::big_endian_word(b.data() + i);
        if (x != y) return x < y;
    }
    for (; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

// JSON type names as issue texts spell them.
std::string_view json_type_name(JsonValue::Kind kind) noexcept;

// ---------------------------------------------------------------------------
// Validation findings.

enum class IssueCode : std::uint8_t { Missing, WrongType, InvalidValue };

std::string_view issue_code_wire(IssueCode code) noexcept;

struct Issue {
    std::string path;
    std::string message;
    IssueCode code;
};

using Issues = std::vector<Issue>;

// The standard issue builders; each appends one issue.
void add_missing(Issues& out, std::string path);                 // required field `p` is missing
void add_wrong_type(Issues& out, std::string path, std::string_view type_name);  // `p` must be a/an T
void add_not_one_of(Issues& out, std::string path, const std::vector<std::string_view>& allowed);
void add_issue(Issues& out, std::string path, IssueCode code, std::string message);

// "a" or "an" for a JSON type name.
std::string_view article_for(std::string_view type_name) noexcept;

// Path helpers: `parent.key` (or `key` at the top) and `parent[i]`.
std::string path_field(std::string_view parent, std::string_view key);
std::string path_index(std::string_view parent, std::size_t index);

}  // namespace orvu::core
