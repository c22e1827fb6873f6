// One walk over a payload that converts it, checks it against the field
// rules of its event type and builds the normalised result, all at once.
//
// The walk reads the payload through a Reader and builds through a Builder,
// so the same rules serve a JsonValue (in the core) and a host's own values
// (in a binding). Members are taken in the order the Reader gives them, which
// is the order conversion reads them: a value that cannot be converted stops
// the walk wherever it stands. Findings are kept per field and put in the
// order of the rule tables when an object is done.
//
// Reader (In: a value being read, cheap to copy):
//   Kind kind(In v, int depth)        the kind v converts to; fails (throws) for
//                                     what no conversion takes, and for a
//                                     container at depth kMaxJsonDepth
//   std::string_view text(In v)       a String's text
//   bool flag(In v)                   a Bool's value
//   JsonValue number(In v)            an integer's or float's value
//   members(In v, each)               each(key, text, In value), in reading order;
//                                     the key goes on to the builder's add
//   items(In v, each)                 each(In item), in order
// Builder (Out: a built value):
//   Out scalar(Reader&, In v, Kind k)  the built form of a value read
//   Out value(const JsonValue& scalar) a value the rules make
//   std::size_t open()                starts a container; its children follow
//   std::size_t add(key, text, Out)   a member read (returns its handle)
//   std::size_t add_named(text, Out)  a member the rules add
//   void push(Out)                    an array item
//   void replace(handle, Out), void drop(handle)
//   Out close_object(mark), Out close_array(mark)
#pragma once

#include "core/bytes.hpp"
#include "core/events.hpp"
#include "core/json.hpp"
#include "core/refusal.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvu::core {

// A top-level member that the caller reads once the walk is done (routing
// reads a few): whether it was there, its kind and, for a string, its text.
struct NotedField {
    std::string_view key;
    bool present = false;
    JsonValue::Kind kind = JsonValue::Kind::Null;
    std::string text;

    bool is_null() const noexcept { return kind == JsonValue::Kind::Null; }
    bool is_string() const noexcept { return kind == JsonValue::Kind::String; }
    std::string_view as_string() const noexcept { return text; }
};

// The fields noted by a walk, looked up as a payload's members are.
struct NotedFields {
    std::span<NotedField> fields;

    const NotedField* find(std::string_view key) const noexcept {
        for (const NotedField& field : fields) {
            if (field.present && field.key == key) return &field;
        }
        return nullptr;
    }
};

// A builder that builds nothing: the walk then converts and checks only.
struct NullBuilder {
    struct Out {};
    template <class Reader, class In>
    Out scalar(Reader&, In, JsonValue::Kind) noexcept { return {}; }
    Out value(const JsonValue&) noexcept { return {}; }
    std::size_t open() noexcept { return 0; }
    template <class Key>
    std::size_t add(Key&&, std::string_view, Out) noexcept { return 0; }
    std::size_t add_named(std::string_view, Out) noexcept { return 0; }
    void push(Out) noexcept {}
    void replace(std::size_t, Out) noexcept {}
    void drop(std::size_t) noexcept {}
    Out close_object(std::size_t) noexcept { return {}; }
    Out close_array(std::size_t) noexcept { return {}; }
};

// Reads a JsonValue for the walk.
struct JsonReader {
    using In = const JsonValue*;
    JsonValue::Kind kind(In v, int) const noexcept { return v->kind(); }
    std::string_view text(In v) const noexcept { return v->as_string(); }
    bool flag(In v) const noexcept { return v->as_bool(); }
    JsonValue number(In v) const { return *v; }
    template <class F>
    void members(In v, F&& each) const {
        for (const JsonMember& member : v->as_object()) each(member.first, member.first, &member.second);
    }
    template <class F>
    void items(In v, F&& each) const {
        for (const JsonValue& item : v->as_array()) each(&item);
    }
};

// A builder of JsonValues, from any reader.
class JsonBuilder {
public:
    using Out = JsonValue;

    template <class Reader, class In>
    Out scalar(Reader& reader, In v, JsonValue::Kind kind) {
        switch (kind) {
            case JsonValue::Kind::Bool: return JsonValue::boolean(reader.flag(v));
            case JsonValue::Kind::UInt:
            case JsonValue::Kind::Int:
            case JsonValue::Kind::Float: return reader.number(v);
            case JsonValue::Kind::String: return JsonValue::string(std::string(reader.text(v)));
            default: return JsonValue::null();
        }
    }
    Out value(const JsonValue& v) { return v; }
    std::size_t open() const noexcept { return stack_.size(); }
    template <class Key>
    std::size_t add(Key&&, std::string_view text, Out v) { return add_named(text, std::move(v)); }
    std::size_t add_named(std::string_view text, Out v) {
        stack_.push_back(Entry{std::string(text), std::move(v)});
        return stack_.size() - 1;
    }
    void push(Out v) { stack_.push_back(Entry{{}, std::move(v)}); }
    void replace(std::size_t member, Out v) { stack_[member].value = std::move(v); }
    void drop(std::size_t member) { stack_[member].dropped = true; }
    Out close_object(std::size_t mark) {
        JsonValue::Object members;
        members.reserve(stack_.size() - mark);
        for (std::size_t i = mark; i < stack_.size(); ++i) {
            if (!stack_[i].dropped) members.emplace_back(std::move(stack_[i].key), std::move(stack_[i].value));
        }
        stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(mark), stack_.end());
        return JsonValue::object(std::move(members));  // in key order, the last of a repeated key kept
    }
    Out close_array(std::size_t mark) {
        JsonValue::Array items;
        items.reserve(stack_.size() - mark);
        for (std::size_t i = mark; i < stack_.size(); ++i) items.push_back(std::move(stack_[i].value));
        stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(mark), stack_.end());
        return JsonValue::array(std::move(items));
    }

private:
    // The members and items of the containers being built, innermost last.
    struct Entry {
        std::string key;
        JsonValue value;
        bool dropped = false;
    };
    std::vector<Entry> stack_;
};

// What a field rule makes of a value of kind `kind` (the checks alone, not
// the normalisations): an issue to report, if any.
enum class FieldFinding : std::uint8_t { None, WrongType, NotOneOf };
inline FieldFinding judge_field(const FieldRule& rule, JsonValue::Kind kind, std::string_view text) noexcept {
    using Kind = JsonValue::Kind;
    if (kind == Kind::Null) return rule.nullable ? FieldFinding::None : FieldFinding::WrongType;
    static constexpr Kind kKindOf[] = {Kind::String, Kind::Bool, Kind::Array, Kind::Object};  // by FieldType
    if (kind != kKindOf[static_cast<std::size_t>(rule.type)]) return FieldFinding::WrongType;
    if (rule.allowed.empty()) return FieldFinding::None;
    for (std::string_view allowed : rule.allowed) {
        if (allowed == text) return FieldFinding::None;
    }
    return FieldFinding::NotOneOf;
}

// The slot of `key` among `rules`: twice the rule's index, plus one for the
// second key of a pair; -1 when no rule names it. `hint` is where the
// search starts, and is left after the match: fields mostly come in about
// the order the rules list them.
// Equal texts; most keys that differ are told apart by length or first byte.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && (a.empty() || (a[0] == b[0] && bytes::equal(a, b)));
}

// The slot of `key` at rule `at`, or -1.
inline int slot_at(const FieldRule& rule, std::size_t at, std::string_view key) noexcept {
    if (same_text(rule.key, key)) return static_cast<int>(2 * at);
    if (!rule.partner.empty() && same_text(rule.partner, key)) return static_cast<int>(2 * at + 1);
    return -1;
}

inline int rule_slot(std::span<const FieldRule> rules, std::string_view key, std::size_t& hint) noexcept {
    const std::size_t n = rules.size();
    const std::size_t start = hint < n ? hint : 0;
    for (std::size_t i = start; i < n; ++i) {
        if (const int s = slot_at(rules[i], i, key); s >= 0) {
            hint = i + 1;
            return s;
        }
    }
    for (std::size_t i = 0; i < start; ++i) {
        if (const int s = slot_at(rules[i], i, key); s >= 0) {
            hint = i + 1;
            return s;
        }
    }
    return -1;
}

// A number as a coerced-integer field keeps it: an integral value within the
// signed 64-bit range as an integer, anything else as null.
JsonValue coerced_integer(const JsonValue& number);

// Puts the findings from `first` on in slot order: `ranges[s]` holds the
// findings of slot s (begin, end), an empty range none. Findings outside
// every range (from a key read twice) are dropped.
void order_findings(Issues& issues, std::size_t first, std::span<const std::pair<std::uint32_t, std::uint32_t>> ranges);

template <class Reader, class Builder>
class PayloadWalk {
public:
    using In = typename Reader::In;
    using Out = typename Builder::Out;
    using Kind = JsonValue::Kind;

    PayloadWalk(Reader& reader, Builder& builder, std::span<NotedField> noted = {}) noexcept
        : reader_(reader), builder_(builder), noted_(noted) {}

    // The payload converted and, when the schema checks it, checked and
    // normalised; refused with every finding in check order.
    Outcome<Out> run(In payload, const EventSchema& schema) {
        const Kind kind = reader_.kind(payload, 0);
        if (!schema.checked) return any(payload, kind, 0);
        if (kind != Kind::Object) {
            any(payload, kind, 0);  // converted all the same: what cannot be is refused first
            Issues issues;
            add_issue(issues, "", IssueCode::WrongType, "payload must be a JSON object");
            return Refusal::validation(std::move(issues));
        }
        Out out = checked_object(payload, 0, schema.fields);
        if (!issues_.empty()) return Refusal::validation(std::move(issues_));
        return out;
    }

private:
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    // What one object's walk knows of each rule slot.
    struct Slot {
        bool seen = false;
        Kind kind = Kind::Null;
        bool flag = false;                                     // a boolean's value
        std::size_t member = 0;                                // its member in the result, plus one (0: none)
        std::pair<std::uint32_t, std::uint32_t> findings{};  // its findings (begin, end)
    };
    using Slots = std::array<Slot, 2 * kMaxRulesPerObject>;  // all zero when made: a few wide stores

    // Where the walk stands among the objects the rules descend into.
    struct Step {
        std::string_view key;
        std::size_t index = 0;
        bool item = false;
    };

    Reader& reader_;
    Builder& builder_;
    std::span<NotedField> noted_;
    Issues issues_;
    std::array<Step, kMaxRuleNesting> steps_{};
    std::size_t depth_ = 0;

    std::string path() const {
        std::string p;
        for (std::size_t i = 0; i < depth_; ++i) {
            if (i) p += '.';
            p += steps_[i].key;
            if (steps_[i].item) {
                p += '[';
                p += std::to_string(steps_[i].index);
                p += ']';
            }
        }
        return p;
    }

    // Any value, no rules.
    Out any(In v, Kind kind, int depth) {
        if (kind == Kind::Object) return plain_object(v, depth);
        if (kind == Kind::Array) return array(v, depth, nullptr);
        return builder_.scalar(reader_, v, kind);
    }

    Out plain_object(In v, int depth) {
        const std::size_t mark = builder_.open();
        reader_.members(v, [&](auto&& key, std::string_view text, In value) {
            const Kind kind = reader_.kind(value, depth + 1);
            if (depth == 0 && !noted_.empty()) note(text, value, kind);
            builder_.add(std::forward<decltype(key)>(key), text, any(value, kind, depth + 1));
        });
        return builder_.close_object(mark);
    }

    // An array; with `rule`, each item must be an object of its fields.
    Out array(In v, int depth, const FieldRule* rule) {
        const std::size_t mark = builder_.open();
        std::size_t index = 0;
        if (rule) steps_[depth_++] = Step{rule->key, 0, true};
        reader_.items(v, [&](In item) {
            const Kind kind = reader_.kind(item, depth + 1);
            if (rule && kind == Kind::Object) {
                steps_[depth_ - 1].index = index;
                builder_.push(checked_object(item, depth + 1, rule->fields));
            } else {
                builder_.push(any(item, kind, depth + 1));
                if (rule) {
                    steps_[depth_ - 1].index = index;
                    add_wrong_type(issues_, path(), field_type_name(FieldType::Object));
                }
            }
            ++index;
        });
        if (rule) --depth_;
        return builder_.close_array(mark);
    }

    void note(std::string_view text, In value, Kind kind) {
        for (NotedField& field : noted_) {  // the keys noted are distinct
            if (!same_text(field.key, text)) continue;
            field.present = true;
            field.kind = kind;
            if (kind == Kind::String) {
                field.text.assign(reader_.text(value));
            } else {
                field.text.clear();
            }
            return;
        }
    }

    // An object under `rules`: every member converted in reading order,
    // each named one checked by its rule as it comes.
    Out checked_object(In v, int depth, std::span<const FieldRule> rules) {
        const std::size_t mark = builder_.open();
        const std::size_t first = issues_.size();
        Slots slots;
        std::size_t hint = 0;
        reader_.members(v, [&](auto&& key, std::string_view text, In value) {
            const Kind kind = reader_.kind(value, depth + 1);
            if (depth == 0 && !noted_.empty()) note(text, value, kind);
            const int s = rule_slot(rules, text, hint);
            if (s < 0) {
                builder_.add(std::forward<decltype(key)>(key), text, any(value, kind, depth + 1));
                return;
            }
            Slot& slot = slots[static_cast<std::size_t>(s)];
            if (slot.member) builder_.drop(slot.member - 1);  // a key spelled twice: the last one counts
            const auto start = static_cast<std::uint32_t>(issues_.size());
            slot.seen = true;
            slot.kind = kind;
            slot.flag = kind == Kind::Bool && reader_.flag(value);
            const FieldRule& rule = rules[static_cast<std::size_t>(s) / 2];
            if (kind == Kind::String && rule.type == FieldType::String && rule.action == FieldAction::Check &&
                rule.allowed.empty()) {  // most fields: a string where a string belongs
                slot.member = 1 + builder_.add(std::forward<decltype(key)>(key), text, builder_.scalar(reader_, value, kind));
            } else {
                const std::size_t member = field(rule, s % 2 == 1, std::forward<decltype(key)>(key), text, value, kind, depth);
                slot.member = member == kNone ? 0 : member + 1;
            }
            slot.findings = {start, static_cast<std::uint32_t>(issues_.size())};
        });
        finish(rules, slots);
        if (issues_.size() > first) {
            std::array<std::pair<std::uint32_t, std::uint32_t>, 2 * kMaxRulesPerObject> ranges{};
            for (std::size_t s = 0; s < 2 * rules.size(); ++s) ranges[s] = slots[s].findings;
            order_findings(issues_, first, ranges);
        }
        return builder_.close_object(mark);
    }

    // One member named by a rule; returns its member in the result (kNone: left out).
    template <class Key>
    std::size_t field(const FieldRule& rule, bool partner, Key&& key, std::string_view text, In value, Kind kind,
                      int depth) {
        const std::string_view name = partner ? rule.partner : rule.key;
        switch (rule.action) {
            case FieldAction::CoerceBool:
                if (kind == Kind::Bool) return builder_.add(std::forward<Key>(key), text, builder_.scalar(reader_, value, kind));
                any(value, kind, depth + 1);
                return builder_.add(std::forward<Key>(key), text, builder_.value(JsonValue::boolean(false)));
            case FieldAction::CoerceInteger: {
                const bool number = kind == Kind::UInt || kind == Kind::Int || kind == Kind::Float;
                Out out = any(value, kind, depth + 1);
                if (!number) return builder_.add(std::forward<Key>(key), text, builder_.value(JsonValue::null()));
                const JsonValue read = reader_.number(value);
                const JsonValue kept = coerced_integer(read);
                if (kept == read) return builder_.add(std::forward<Key>(key), text, std::move(out));
                return builder_.add(std::forward<Key>(key), text, builder_.value(kept));
            }
            default: break;
        }
        Out out;
        const FieldFinding finding =
            judge_field(rule, kind, kind == Kind::String && !rule.allowed.empty() ? reader_.text(value) : "");
        const bool descends = finding == FieldFinding::None && kind != Kind::Null && !rule.fields.empty();
        if (descends && kind == Kind::Object) {
            steps_[depth_++] = Step{rule.key};
            out = checked_object(value, depth + 1, rule.fields);
            --depth_;
        } else if (descends) {
            out = array(value, depth + 1, &rule);  // its items step in by index
        } else {
            out = any(value, kind, depth + 1);
        }
        switch (finding) {
            case FieldFinding::WrongType:
                add_wrong_type(issues_, path_to(name), field_type_name(rule.type));
                break;
            case FieldFinding::NotOneOf:
                add_not_one_of(issues_, path_to(name), {rule.allowed.begin(), rule.allowed.end()});
                break;
            case FieldFinding::None: break;
        }
        if (kind == Kind::Null && rule.action == FieldAction::DropNull) return kNone;
        if (kind == Kind::Null && rule.action == FieldAction::FillEmpty) {
            return builder_.add(std::forward<Key>(key), text, filled(rule));
        }
        return builder_.add(std::forward<Key>(key), text, std::move(out));
    }

    std::string path_to(std::string_view key) const { return path_field(path(), key); }

    // After an object's members: the rules of the fields it lacks, and the
    // pairs of flags that stand in for each other.
    void finish(std::span<const FieldRule> rules, Slots& slots) {
        for (std::size_t r = 0; r < rules.size(); ++r) {
            const FieldRule& rule = rules[r];
            Slot& slot = slots[2 * r];
            if (rule.action == FieldAction::RemoteFlags) {
                alias_flags(rule, slot, slots[2 * r + 1]);
                continue;
            }
            if (slot.seen) continue;
            if (rule.required) {
                const auto start = static_cast<std::uint32_t>(issues_.size());
                add_missing(issues_, path_to(rule.key));
                slot.findings = {start, start + 1};
            } else if (rule.action == FieldAction::FillEmpty) {
                builder_.add_named(rule.key, filled(rule));
            } else if (rule.action == FieldAction::CoerceBool) {
                builder_.add_named(rule.key, builder_.value(JsonValue::boolean(false)));
            }
        }
    }

    // A boolean on one side of the pair fills the other side when that has none.
    void alias_flags(const FieldRule& rule, const Slot& first, const Slot& second) {
        const bool has_first = first.seen && first.kind == Kind::Bool;
        const bool has_second = second.seen && second.kind == Kind::Bool;
        if (has_first == has_second) return;
        const Slot& from = has_first ? first : second;
        const Slot& to = has_first ? second : first;
        Out flag = builder_.value(JsonValue::boolean(from.flag));
        if (to.member) {
            builder_.replace(to.member - 1, std::move(flag));
        } else {
            builder_.add_named(has_first ? rule.partner : rule.key, std::move(flag));
        }
    }

    // The value of a field filled in: an empty container, normalised by the field's own rules.
    Out filled(const FieldRule& rule) {
        const std::size_t mark = builder_.open();
        if (rule.type != FieldType::Object) return builder_.close_array(mark);
        Slots slots;
        finish(rule.fields, slots);
        return builder_.close_object(mark);
    }
};

}  // namespace orvu::core
