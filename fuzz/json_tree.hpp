// A plain JSON tree, independent of the core's own value type: what the
// harnesses decode their input into, what their models compute on, and what
// the core's results are compared with. Objects may hold keys in any order
// and more than once, as decoded; the models apply the conversion rules.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvu::fuzz {

struct Json {
    enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };
    Kind kind = Kind::Null;
    bool b = false;
    std::uint64_t u = 0;
    std::int64_t i = 0;  // negative values only
    double f = 0.0;
    std::string s;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    static Json null() { return {}; }
    static Json boolean(bool v) { Json j; j.kind = Kind::Bool; j.b = v; return j; }
    static Json string(std::string v) { Json j; j.kind = Kind::String; j.s = std::move(v); return j; }
    static Json array(std::vector<Json> v = {}) { Json j; j.kind = Kind::Array; j.items = std::move(v); return j; }
    static Json object(std::vector<std::pair<std::string, Json>> v = {}) {
        Json j;
        j.kind = Kind::Object;
        j.members = std::move(v);
        return j;
    }
    static Json integer(std::int64_t v) {
        Json j;
        if (v < 0) {
            j.kind = Kind::Int;
            j.i = v;
        } else {
            j.kind = Kind::UInt;
            j.u = static_cast<std::uint64_t>(v);
        }
        return j;
    }

    bool is(Kind k) const noexcept { return kind == k; }
    // The last member of that key (the one a conversion keeps), or nullptr.
    const Json* find(std::string_view key) const noexcept {
        const Json* found = nullptr;
        for (const auto& m : members) {
            if (m.first == key) found = &m.second;
        }
        return found;
    }
    Json* find(std::string_view key) noexcept {
        return const_cast<Json*>(static_cast<const Json*>(this)->find(key));
    }
    void set(std::string key, Json value) {
        if (Json* existing = find(key)) {
            *existing = std::move(value);
        } else {
            members.emplace_back(std::move(key), std::move(value));
        }
    }
    void erase(std::string_view key) {
        std::erase_if(members, [&](const auto& m) { return m.first == key; });
    }

    friend bool operator==(const Json& a, const Json& b);
};

bool operator==(const Json& a, const Json& b);
// Readable form for reports (floats marked with an f, bytes as \x escapes).
std::ostream& operator<<(std::ostream& out, const Json& value);
// JSON text that parse_json reads back as the same tree.
std::string to_json_text(const Json& value);

// Reads JSON text (RFC 8259, plus any depth up to `max_depth`); nullopt when
// the text is not JSON or holds an integer outside the 64-bit ranges. A
// float too large for a double reads as infinity and, as a host's infinite
// float converts, becomes null.
std::optional<Json> parse_json(std::string_view text, int max_depth = 64);

}  // namespace orvu::fuzz
