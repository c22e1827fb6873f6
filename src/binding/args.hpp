// The one argument binder used by every function, method and constructor.
//
// A Signature names the callable as the interpreter's messages spell it
// ("classify_close", "Session.begin_attempt", "SessionPolicy.__new__") and
// lists its parameters: the first `positional` may be given by position or
// keyword, the rest are keyword-only; the first `required` must be given.
// With `var_keywords` unknown keywords are collected instead of refused.
// Signatures come from the callable's declaration, which also gives its
// text signature: the binder and `inspect.signature` cannot disagree.
//
// Binding fills one slot per parameter (nullptr when not given); the
// BoundArgs converters then turn slots into C++ values in parameter order,
// with TypeErrors that name the callable and the argument.
#pragma once

#include "binding/errors.hpp"
#include "binding/refusal.hpp"
#include "binding/state.hpp"
#include "binding/text.hpp"
#include "core/numbers.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvu::py {

inline constexpr std::size_t kMaxParams = 8;

// Calling convention of every function and method of the module.
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// The PyMethodDef entry point of a METH_FASTCALL | METH_KEYWORDS function.
template <class Fn>
PyCFunction fastcall(Fn* fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

struct Signature {
    // A signature that breaks its own form (counts beyond its parameters, or
    // more parameters than a call can bind) takes no call: every call goes
    // the general way and is refused with SystemError there.
    constexpr Signature() = default;
    Signature(std::string callable_, std::vector<std::string> params_, std::size_t positional_,
              std::size_t required_, bool var_keywords_ = false)
        : callable(std::move(callable_)), params(std::move(params_)), positional(positional_), required(required_),
          var_keywords(var_keywords_) {
        if (params.size() > kMaxParams || positional > params.size() || required > params.size()) {
            positional = required = kMaxParams + 1;
        }
    }

    std::string callable;                   // without the parentheses
    std::vector<std::string> params;
    std::size_t positional = 0;             // leading positional-or-keyword parameters
    std::size_t required = kMaxParams + 1;  // leading required parameters (none bound yet: takes no call)
    bool var_keywords = false;              // accept **kwargs
};

// A callable's declaration, the one text its binding, text signature and
// stub come from: "Owner.name(a: str, b: int = 0, *, c: bool = False) -> R"
// (Python syntax, annotations included). "Owner(...)" declares the class's
// constructor, a leading "@staticmethod " a static method, and
// "Owner.name: T" a read-only property. Defaults and ranges from the core's
// constants are put into the text with `fill`.
struct Declaration {
    std::string owner;           // "" for a module function
    std::string name;            // "__new__" for a constructor
    bool is_static = false;      // a static method (or a constructor)
    std::string text_signature;  // "name($self, a, b=0, *, c=False)" without annotations, or "" for a property
    Signature signature;         // how calls bind
};

// Parses declaration `text` of a module function, or of a method of class
// `owner` ($self first unless static); a text that breaks the form gives a
// signature that every call refuses with SystemError.
Declaration parse_declaration(std::string_view text, std::string_view owner = {});

// What the module declares, recorded as its tables are built: what
// scripts/gen_stubs.py writes the stubs from (through tools/surface_dump.cpp).
struct SurfaceEntry {
    std::string owner;        // the class, or "" for a module function or a class itself
    std::string declaration;  // as written, constants filled in
    std::string doc;          // the docstring without its text signature
};
std::vector<SurfaceEntry>& surface();
#ifdef ORVU_SURFACE_DUMP
inline constexpr bool kRecordSurface = true;
#else
inline constexpr bool kRecordSurface = false;  // the module keeps no record
#endif

// `text` with each "{}" replaced by the next value, written as Python writes it.
std::string fill(std::string_view text);
template <class T, class... Rest>
std::string fill(std::string_view text, const T& value, const Rest&... rest) {
    const std::size_t mark = text.find("{}");
    if (mark == std::string_view::npos) return std::string(text);
    std::string out(text.substr(0, mark));
    if constexpr (std::is_same_v<T, bool>) out += value ? "True" : "False";
    else if constexpr (std::is_arithmetic_v<T>) out += std::to_string(value);
    else out += std::string_view(value);
    return out + fill(text.substr(mark + 2), rest...);
}

// Process-lifetime storage for the texts that method and type tables point
// into: they are built once, when the tables are, and never change.
const char* keep(std::string text);

class BoundArgs {
public:
    // Binds a METH_FASTCALL|METH_KEYWORDS call. The usual call (positional
    // arguments only, every required one given) binds inline; anything else
    // takes the general path with its TypeErrors.
    BoundArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
              ModuleState* state = nullptr)
        : sig_(sig), state_(state) {
        const std::size_t nargs = static_cast<std::size_t>(nargsf);
        if (kwnames || nargs < sig.required || nargs > sig.positional) {
            bind_any(args, nargs, kwnames);
            return;
        }
        // A loop of a fixed count, which the compiler unrolls instead of calling memcpy.
        for (std::size_t i = 0; i < kMaxParams; ++i) {
            if (i < nargs) slots_[i] = args[i];
        }
    }
    // Binds a tuple/dict call (tp_new).
    BoundArgs(const Signature& sig, PyObject* args, PyObject* kwargs, ModuleState* state = nullptr);
    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;

    // The state of the module the callable belongs to.
    ModuleState& state() const noexcept { return *state_; }

    PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }
    bool given(std::size_t i) const noexcept { return slots_[i] != nullptr; }
    // Extra keywords (only with var_keywords), in the order given.
    const std::vector<std::pair<PyObject*, PyObject*>>& extra_keywords() const noexcept { return extra_; }

    std::string_view str(std::size_t i) const {
        // Inline: every id argument of every call comes through here.
        PyObject* obj = slots_[i];
        // The exact type first: in the limited API the subtype check is a call.
        if (!Py_IS_TYPE(obj, &PyUnicode_Type) && !PyUnicode_Check(obj)) wrong_type(i, "str");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (!text) throw_error();
        return std::string_view(text, static_cast<std::size_t>(size));
    }
    // None (or not given) -> nullopt.
    std::optional<std::string_view> optional_str(std::size_t i) const {
        if (!slots_[i] || slots_[i] == Py_None) return std::nullopt;
        if (!PyUnicode_Check(slots_[i])) wrong_type(i, "str or None");
        return str(i);
    }
    // None (or not given) -> nullptr; otherwise the str object itself (checked).
    PyObject* optional_str_object(std::size_t i) const;
    template <class T>
    T integer(std::size_t i) const;
    // A 64-bit integer, or the core's `fallback` when the argument is not given.
    std::int64_t integer_or(std::size_t i, std::int64_t fallback) const {
        return given(i) ? integer<std::int64_t>(i) : fallback;
    }
    // None (or not given) -> null; otherwise argument `i` as an int object
    // (its __index__ applied), a TypeError naming it when it has none.
    Ref optional_int_object(std::size_t i) const;
    // The one range check: the value of argument `i`, already converted (so
    // that every argument is converted before any range is checked), against
    // a core range; outside it the core's refusal, a ValueError.
    template <class T = std::uint64_t>
    T in_range(std::size_t i, std::int64_t value, const core::IntRange& range) const {
        if (range.contains(value)) return static_cast<T>(value);  // the usual case, without a refusal to make room for
        return static_cast<T>(unwrap(range.check(name(i), value)));
    }
    // The same for an int object of any size: a value beyond 64 bits is out
    // of range too, quoted in plain decimal (never an OverflowError).
    std::uint64_t in_range(std::size_t i, PyObject* value, const core::IntRange& range) const;
    double real(std::size_t i) const;
    // A list or tuple of str. A str is refused outright (never taken as a
    // sequence of one-letter ids), and so is every other iterable: reading a
    // set or a generator would give an order or a one-shot consumption the
    // caller did not ask for.
    std::vector<std::string> str_sequence(std::size_t i) const;
    // Walks an iterable of str, checking every item even past a match (so a
    // bad collection is always refused), and tells whether `id` (a str, or
    // null) is among them, compared code point for code point: a str
    // subclass's own __eq__ plays no part.
    bool str_items_contain(std::size_t i, PyObject* id) const;
    // Exactly True or False.
    bool boolean(std::size_t i) const;
    // Checks that the argument is an instance of `type`; returns it borrowed.
    PyObject* instance(std::size_t i, PyTypeObject* type) const {
        PyObject* obj = slots_[i];
        return Py_IS_TYPE(obj, type) ? obj : subtype_instance(i, type);  // inline: the exact type is the usual case
    }
    // The core object of an instance of the module's class `id`.
    template <class Object>
    auto& object(std::size_t i, TypeId id) const {
        return Object::of(instance(i, state_->type(id)));
    }

    const char* name(std::size_t i) const noexcept { return sig_.params[i].c_str(); }

    // "Session.begin_attempt() argument 'now_s' must be {expected}, not {given type}"
    [[noreturn]] void wrong_type(std::size_t i, std::string_view expected) const;
    // "... argument 'seen_ids' must contain only str, not {item's type}{where}"
    [[noreturn]] void contains_wrong_type(std::size_t i, PyObject* item, std::string_view where = {}) const;

private:
    // Any vectorcall: keywords, missing or surplus arguments.
    void bind_any(PyObject* const* args, std::size_t nargs, PyObject* kwnames);
    void store_keyword(PyObject* key, PyObject* value);
    PyObject* subtype_instance(std::size_t i, PyTypeObject* type) const;
    // Argument `i` as an int object (its __index__ applied), a TypeError when it has none.
    Ref index(std::size_t i) const;
    // Argument `i` as an integer of 64 bits; beyond them an OverflowError.
    template <class Wide>
    Wide wide_integer(std::size_t i) const;
    void check_required() const;

    const Signature& sig_;
    ModuleState* state_;
    std::array<PyObject*, kMaxParams> slots_{};
    std::vector<std::pair<PyObject*, PyObject*>> extra_;
};

template <class T>
T BoundArgs::integer(std::size_t i) const {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    using Wide = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
    const Wide v = wide_integer<Wide>(i);
    if (std::in_range<T>(v)) return static_cast<T>(v);
    raise_overflow_error(sig_.callable + "() argument '" + name(i) + "' is out of range for a " +
                         std::to_string(sizeof(T) * 8) + (std::is_signed_v<T> ? "-bit signed" : "-bit unsigned") +
                         " integer");
}

}  // namespace orvu::py
