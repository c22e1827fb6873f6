// A read-only JSON tree over text that lives elsewhere: the form in which a
// payload is checked when the caller builds its own result while reading it.
#pragma once

#include "core/bytes.hpp"
#include "core/json.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace orvu::core {

// One node. The nodes of a tree sit in one array, the children of a
// container next to each other; a container finds them by their distance
// from itself, so the array may grow (and move) while the tree is filled in.
// Every text (strings and member keys) is borrowed and must outlive the tree.
class JsonView {
public:
    using Kind = JsonValue::Kind;

    JsonView() noexcept {}

    // Setters for whoever fills the tree in.
    void set_null() noexcept { kind_ = Kind::Null; }
    void set_bool(bool b) noexcept {
        kind_ = Kind::Bool;
        u_.b = b;
    }
    // Negative integers are stored signed, non-negative ones unsigned, as JsonValue does.
    void set_integer(std::int64_t i) noexcept {
        if (i >= 0) return set_uint(static_cast<std::uint64_t>(i));
        kind_ = Kind::Int;
        u_.i = i;
    }
    void set_uint(std::uint64_t u) noexcept {
        kind_ = Kind::UInt;
        u_.u = u;
    }
    void set_real(double d) noexcept {
        kind_ = Kind::Float;
        u_.f = d;
    }
    void set_string(std::string_view text) noexcept {
        kind_ = Kind::String;
        u_.text = text;
    }
    // A container whose `count` children are the nodes `distance` places after this one.
    void set_container(Kind kind, std::uint32_t distance, std::uint32_t count) noexcept {
        kind_ = kind;
        distance_ = distance;
        count_ = count;
    }
    void set_key(std::string_view key) noexcept {
        key_ = key;
        key_tag_ = tag_of(key);
    }

    Kind kind() const noexcept { return kind_; }
    bool is_null() const noexcept { return kind_ == Kind::Null; }
    bool is_bool() const noexcept { return kind_ == Kind::Bool; }
    bool is_string() const noexcept { return kind_ == Kind::String; }
    bool is_array() const noexcept { return kind_ == Kind::Array; }
    bool is_object() const noexcept { return kind_ == Kind::Object; }

    // Scalar accessors: meaningful only for a value of that kind.
    bool as_bool() const noexcept { return u_.b; }
    std::uint64_t as_uint() const noexcept { return u_.u; }
    std::int64_t as_int() const noexcept { return u_.i; }
    double as_float() const noexcept { return u_.f; }
    std::string_view as_string() const noexcept { return kind_ == Kind::String ? u_.text : std::string_view(); }
    // The key of an object member.
    std::string_view key() const noexcept { return key_; }

    // The items of an array, the members of an object; empty for any other kind.
    std::span<const JsonView> as_array() const noexcept { return children(Kind::Array); }
    std::span<const JsonView> as_object() const noexcept { return children(Kind::Object); }

    // The member named `key` (the keys of a tree's object are distinct); nullptr when absent or no object.
    const JsonView* find(std::string_view key) const noexcept {
        const std::uint32_t tag = tag_of(key);
        for (const JsonView& member : as_object()) {
            if (member.key_tag_ == tag && bytes::equal(member.key_, key)) {
                return &member;
            }
        }
        return nullptr;
    }

    // The same lookup starting at member `next` and wrapping around; `next`
    // then names the member after the match. Cheap when keys are looked up
    // in about the order the object lists them.
    const JsonView* find_from(std::string_view key, std::size_t& next) const noexcept {
        const std::span<const JsonView> members = as_object();
        const std::uint32_t tag = tag_of(key);
        std::size_t i = next < members.size() ? next : 0;
        for (std::size_t left = members.size(); left > 0; --left) {
            const JsonView& member = members[i];
            if (++i == members.size()) i = 0;
            if (member.key_tag_ == tag && bytes::equal(member.key_, key)) {
                next = i;
                return &member;
            }
        }
        return nullptr;
    }

    // An empty object and an empty array, for checks that treat an absent value as one.
    static const JsonView& empty_object() noexcept;
    static const JsonView& empty_array() noexcept;

private:
    // A few bytes of a key and its length, so that a lookup passes over
    // other members with one comparison each.
    static std::uint32_t tag_of(std::string_view key) noexcept {
        if (key.empty()) return 0;
        auto byte = [&](std::size_t i) { return std::uint32_t{static_cast<unsigned char>(key[i])}; };
        return static_cast<std::uint32_t>(key.size() & 0xff) | byte(0) << 8 | byte(key.size() / 2) << 16 |
               byte(key.size() - 1) << 24;
    }

    std::span<const JsonView> children(Kind kind) const noexcept {
        if (kind_ != kind || count_ == 0) return {};
        return {this + distance_, count_};
    }

    union Scalar {
        bool b;
        std::uint64_t u;
        std::int64_t i;
        double f;
        std::string_view text;
        Scalar() noexcept : u(0) {}
    };

    Kind kind_ = Kind::Null;
    std::uint32_t count_ = 0;
    std::uint32_t distance_ = 0;
    std::uint32_t key_tag_ = 0;
    std::string_view key_;
    Scalar u_;
};

// The nodes of a tree being read; the first is the root. A usual payload
// fits in the inline room: reading it allocates nothing.
class ViewNodes {
public:
    ViewNodes() noexcept : data_(reinterpret_cast<JsonView*>(inline_)) {}
    ViewNodes(const ViewNodes&) = delete;
    ViewNodes& operator=(const ViewNodes&) = delete;

    const JsonView& root() const noexcept { return data_[0]; }
    const JsonView& operator[](std::size_t i) const noexcept { return data_[i]; }
    // The index of a node of these.
    std::size_t index_of(const JsonView* node) const noexcept { return static_cast<std::size_t>(node - data_); }
    JsonView& operator[](std::size_t i) noexcept { return data_[i]; }
    std::size_t size() const noexcept { return size_; }
    // Leaves only the root, unset.
    void reset() noexcept {
        size_ = 0;
        append(1);
    }
    // Appends `count` nodes (which may move the others); returns the index
    // of the first. They are left unset: the reader sets what it reads.
    // Inline: the reader appends for every container it meets.
    std::size_t append(std::size_t count) {
        if (count > capacity_ - size_) grow(count);
        size_ += count;
        return size_ - count;
    }

private:
    // Room for `count` more nodes beyond the current capacity.
    void grow(std::size_t count);

    // Nodes live in raw storage: they come into being as they are written,
    // move as bytes and need no destruction.
    static_assert(std::is_trivially_copyable_v<JsonView> && std::is_trivially_destructible_v<JsonView>);
    static constexpr std::size_t kInline = 64;
    alignas(JsonView) unsigned char inline_[kInline * sizeof(JsonView)];
    std::unique_ptr<unsigned char[]> heap_;  // beyond the inline room: storage for `capacity_` nodes
    JsonView* data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
};

// One step down from a container to a child node: by key in an object, by
// position in an array.
struct ViewStep {
    std::size_t node;
    bool by_key;
    std::string_view key;
    std::size_t index;
};

// The ways down from the root of `nodes` to any node of it.
class ViewPaths {
public:
    explicit ViewPaths(const ViewNodes& nodes);
    // The steps from the root to node `target`, the root's child first.
    std::vector<ViewStep> to(std::size_t target) const;

private:
    const ViewNodes& nodes_;
    std::vector<std::size_t> parent_;  // every node's container (the root's is itself)
};

}  // namespace orvu::core
