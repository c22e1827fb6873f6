// What the core says when it refuses an input: the kind of refusal and its
// text or issues. The core never decides how a refusal is reported; the
// binding turns each kind into the matching Python exception.
//
//   Outcome<std::uint16_t> checked(std::int64_t v) {
//       if (v < 0) return Refusal::value("`v` must be non-negative");
//       return static_cast<std::uint16_t>(v);
//   }
#pragma once

#include "core/json.hpp"

#include <string>
#include <utility>
#include <variant>

namespace orvu::core {

struct Refusal {
    enum class Kind : std::uint8_t {
        Value,       // a value breaks its rule: `text`
        Type,        // a value has the wrong shape: `text`
        Validation,  // a document or configuration fails its checks: `issues`, never empty
    };

    Kind kind = Kind::Value;
    std::string text;
    Issues issues;

    static Refusal value(std::string text) { return Refusal{Kind::Value, std::move(text), {}}; }
    static Refusal type(std::string text) { return Refusal{Kind::Type, std::move(text), {}}; }
    static Refusal validation(Issues issues) { return Refusal{Kind::Validation, {}, std::move(issues)}; }
};

// The value of a step that has nothing to return.
struct Done {};

// A value, or the reason it could not be produced.
template <class T = Done>
class [[nodiscard]] Outcome {
public:
    Outcome(T value) : v_(std::move(value)) {}
    Outcome(Refusal refusal) : v_(std::move(refusal)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const Refusal& refusal() const& { return std::get<1>(v_); }

private:
    std::variant<T, Refusal> v_;
};

inline Outcome<> accept() { return Done{}; }

}  // namespace orvu::core
