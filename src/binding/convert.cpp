#include "binding/convert.hpp"

#include "binding/result.hpp"
#include "binding/text.hpp"
#include "core/payload_walk.hpp"
#include "core/scratch.hpp"

#include <span>
#include <string>
#include <vector>

// Rare paths kept out of the usual ones' way.
#if defined(__GNUC__) || defined(__clang__)
#define ORVU_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define ORVU_NOINLINE __declspec(noinline)
#else
#define ORVU_NOINLINE
#endif

namespace orvu::py {
namespace {

using core::JsonValue;
using Kind = JsonValue::Kind;

// NaN and the infinities have no JSON form: they read as null.
bool reads_as_null(double d) noexcept { return d != d || d - d != 0.0; }

// `value` op the integer written in decimal as `limit_text`.
bool compare(const Ref& value, const char* limit_text, int op) {
    Ref limit = Ref::check(PyLong_FromString(limit_text, nullptr, 10));
    const int r = PyObject_RichCompareBool(value.get(), limit.get(), op);
    if (r < 0) throw_error();
    return r == 1;
}

// The number an int (or subclass) stands for, within the 64-bit ranges.
JsonValue int_value(PyObject* obj) {
    // Exact int, so comparisons below never run a subclass's own methods.
    Ref value = PyLong_CheckExact(obj) ? Ref::borrow(obj) : Ref::check(PyNumber_Index(obj));
    long long s = 0;
    unsigned long long u = 0;
    switch (fit_int(value.get(), s, u)) {
        case IntFit::Signed: return JsonValue::integer(s);
        case IntFit::Unsigned: return JsonValue::uint(u);
        case IntFit::Beyond: break;
    }
    // Out of the 64-bit ranges: say so plainly inside the 128-bit ranges,
    // beyond them report an overflow.
    const bool positive = compare(value, "0", Py_GT);
    const bool in_128 = positive ? compare(value, "340282366920938463463374607431768211455", Py_LE)
                                 : compare(value, "-170141183460469231731687303715884105728", Py_GE);
    raise_type_error(in_128 ? "JSON number out of range" : "int too big to convert");
}

// Reads Python values for the payload walk, in conversion's order: None,
// bool, int, list/tuple, dict, str, bytes/bytearray (refused), float,
// set/frozenset, Sequence, Mapping. Whatever cannot be read is refused by
// throwing PythonError at once.
class PyReader {
public:
    using In = PyObject*;

    explicit PyReader(const ModuleState& state) noexcept : state_(state) {}

    // Whether every key read was an exact str (looking one up then runs no Python code).
    bool plain_keys = true;

    // The usual values are decided here, each by one comparison; the rest
    // out of line, so that the usual path stays short.
    Kind kind(PyObject* v, int depth) const {
        if (PyUnicode_CheckExact(v)) return string_kind(v);
        if (PyDict_CheckExact(v)) return container(Kind::Object, depth);
        if (PyList_CheckExact(v)) return container(Kind::Array, depth);
        if (v == Py_None) return Kind::Null;
        if (PyBool_Check(v)) return Kind::Bool;
        return other_kind(v, depth);
    }

    ORVU_NOINLINE Kind other_kind(PyObject* v, int depth) const {
        if (PyLong_CheckExact(v) || PyLong_Check(v)) return int_value(v).kind();
        if (PyList_Check(v) || PyTuple_Check(v)) return container(Kind::Array, depth);
        if (PyDict_Check(v)) return container(Kind::Object, depth);
        if (PyUnicode_Check(v)) return string_kind(v);
        if (PyBytes_Check(v) || PyByteArray_Check(v)) {
            raise_type_error("invalid type: byte array, expected any valid JSON value");
        }
        if (PyFloat_Check(v)) return reads_as_null(PyFloat_AsDouble(v)) ? Kind::Null : Kind::Float;
        if (PyAnySet_Check(v) || is_instance(v, state_.sequence_abc)) return container(Kind::Array, depth);
        if (is_instance(v, state_.mapping_abc)) return container(Kind::Object, depth);
        raise_type_error("unsupported type " + type_qualname_of(v));
    }

    std::string_view text(PyObject* v) const { return utf8_view(v); }
    bool flag(PyObject* v) const noexcept { return v == Py_True; }
    JsonValue number(PyObject* v) const {
        return PyFloat_Check(v) ? JsonValue::real(PyFloat_AsDouble(v)) : int_value(v);
    }

    // Every member is held while it is read: reading a value can run Python
    // code (an abstract-class check, an iteration, a finalizer), which may
    // change the dict; a change of size ends the walk.
    template <class F>
    void members(PyObject* v, F&& each) {
        if (PyDict_CheckExact(v) || PyDict_Check(v)) {  // a subclass's storage is a dict too, whatever its items() says
            const Py_ssize_t size = PyDict_Size(v);
            Py_ssize_t pos = 0;
            PyObject *borrowed_key = nullptr, *borrowed_value = nullptr;
            for (Py_ssize_t left = size; PyDict_Next(v, &pos, &borrowed_key, &borrowed_value); --left) {
                // More members than it had when the walk began: it grew meanwhile.
                if (left == 0) raise_runtime_error("dictionary changed size during iteration");
                Ref key = Ref::borrow(borrowed_key), value = Ref::borrow(borrowed_value);
                const std::string_view text = key_text(key.get());
                each(std::move(key), text, value.get());
            }
            if (PyDict_Size(v) != size) raise_runtime_error("dictionary changed size during iteration");
            return;
        }
        Ref items = Ref::check(PyMapping_Items(v));
        if (!PyList_Check(items.get())) raise_type_error("mapping items must be a list");
        for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
            Ref pair = Ref::borrow(PyList_GetItem(items.get(), i));
            if (!pair) throw_error();
            if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
                raise_type_error("mapping items must be (key, value) pairs");
            }
            Ref key = Ref::borrow(PyTuple_GetItem(pair.get(), 0));
            const std::string_view text = key_text(key.get());
            each(std::move(key), text, PyTuple_GetItem(pair.get(), 1));
        }
    }

    // A list may change while an item is read: its length is read again
    // for every item, and each item is held while it is read.
    template <class F>
    void items(PyObject* v, F&& each) const {
        if (PyList_CheckExact(v) || PyList_Check(v) || PyTuple_Check(v)) {
            const bool list = PyList_CheckExact(v) || PyList_Check(v);
            for (Py_ssize_t i = 0; i < (list ? PyList_Size(v) : PyTuple_Size(v)); ++i) {
                Ref item = Ref::borrow(list ? PyList_GetItem(v, i) : PyTuple_GetItem(v, i));
                if (!item) throw_error();
                each(item.get());
            }
            return;
        }
        Ref iter = Ref::check(PyObject_GetIter(v));
        while (Ref item = Ref::steal(PyIter_Next(iter.get()))) each(item.get());
        if (PyErr_Occurred()) throw_error();
    }

private:
    const ModuleState& state_;

    std::string_view key_text(PyObject* key) {
        if (!PyUnicode_CheckExact(key)) {
            if (!PyUnicode_Check(key)) raise_type_error("dict keys must have type str");
            plain_keys = false;
        }
        return utf8_view(key);
    }

    // A str converts only when it has UTF-8 text (no lone surrogates).
    static Kind string_kind(PyObject* v) {
        if (!PyUnicode_AsUTF8AndSize(v, nullptr)) [[unlikely]] throw_error();
        return Kind::String;
    }

    static Kind container(Kind kind, int depth) {
        if (depth >= core::kMaxJsonDepth) too_deep();
        return kind;
    }
    [[noreturn]] ORVU_NOINLINE static void too_deep() {
        raise_type_error("JSON nesting deeper than " + std::to_string(core::kMaxJsonDepth) + " levels");
    }

    bool is_instance(PyObject* obj, const Ref& abc) const {
        const int r = PyObject_IsInstance(obj, abc.get());
        if (r < 0) throw_error();
        return r == 1;
    }
};

// Builds the Python result of a walk. The caller's exact str, int, float and
// bool objects go into the result as they are; a subclass's value becomes
// its plain type. The members and items of the containers being built wait
// on one stack until their container is closed.
class PyBuilder {
public:
    using Out = Ref;

    Ref scalar(const PyReader&, PyObject* v, Kind kind) {
        switch (kind) {
            case Kind::Null: return none();
            case Kind::Bool: return Ref::borrow(v);
            case Kind::UInt:
            case Kind::Int: return PyLong_CheckExact(v) ? Ref::borrow(v) : Ref::check(PyNumber_Index(v));
            case Kind::Float: return PyFloat_CheckExact(v) ? Ref::borrow(v) : result::real(PyFloat_AsDouble(v));
            case Kind::String: return PyUnicode_CheckExact(v) ? Ref::borrow(v) : make_str(utf8_view(v));
            default: return none();
        }
    }
    Ref value(const JsonValue& v) { return from_json(v); }

    std::size_t open() const noexcept { return stack_.size(); }
    // A member whose key is a str subclass gets a plain str of its text as the result's key.
    std::size_t add(Ref&& key, std::string_view text, Ref&& value) {
        if (!PyUnicode_CheckExact(key.get())) {
            key = make_str(text);
            text = utf8_view(key.get());
        }
        return push_member(std::move(key), text, std::move(value));
    }
    // `text` names a rule's key, which outlives the walk.
    std::size_t add_named(std::string_view text, Ref&& value) { return push_member(make_str(text), text, std::move(value)); }
    void push(Ref&& value) { stack_.emplace(Ref(), std::string_view(), std::uint64_t{0}, std::move(value)); }
    void replace(std::size_t member, Ref&& value) { stack_[member].value = std::move(value); }
    void drop(std::size_t member) { stack_[member].value = Ref(); }

    // A dict of the members from `mark` on, in key order; of a key read
    // twice (two str subclass objects can spell one key), the last counts.
    Ref close_object(std::size_t mark) {
        const std::span<Entry> entries = stack_.from(mark);
        const std::size_t n = entries.size();
        core::Scratch<std::uint32_t, core::kInsertionSortMembers> order_space(n);
        const std::span<std::uint32_t> order = order_space.items();
        bool ascending = true;
        for (std::size_t i = 0; i < n; ++i) {
            order[i] = static_cast<std::uint32_t>(i);
            ascending = ascending && (i == 0 || entries[i - 1].prefix < entries[i].prefix);  // ties are sorted
        }
        if (!ascending) {
            core::sort_members(order, [&](std::uint32_t a, std::uint32_t b) {
                const Entry &x = entries[a], &y = entries[b];
                if (x.prefix != y.prefix) return x.prefix < y.prefix;
                return core::json_key_less(x.text, y.text) || (x.text == y.text && a < b);
            });
        }
        Ref dict = Ref::check(PyDict_New());
        for (std::size_t k = 0; k < n; ++k) {
            const Entry& entry = entries[order[k]];
            if (!entry.value) continue;  // dropped
            if (k + 1 < n && same_key(entries[order[k + 1]], entry)) continue;  // a later one follows
            if (PyDict_SetItem(dict.get(), entry.key.get(), entry.value.get()) < 0) throw_error();
        }
        stack_.truncate(mark);
        return dict;
    }

    Ref close_array(std::size_t mark) {
        const auto n = static_cast<Py_ssize_t>(stack_.size() - mark);
        Ref list = Ref::check(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SetItem(list.get(), i, stack_[mark + i].value.release());
        stack_.truncate(mark);
        return list;
    }

private:
    struct Entry {
        Ref key;
        std::string_view text;  // the key's text, held by `key`
        std::uint64_t prefix;   // its first eight bytes, big-endian, zero-padded
        Ref value;
    };
    core::InlineStack<Entry, 48> stack_;

    std::size_t push_member(Ref&& key, std::string_view text, Ref&& value) {
        stack_.emplace(std::move(key), text, core::bytes::big_endian_prefix(text), std::move(value));
        return stack_.size() - 1;
    }

    static bool same_key(const Entry& a, const Entry& b) noexcept { return a.prefix == b.prefix && a.text == b.text; }
};

// Whatever Python raised while reading the value becomes a TypeError with
// the same text (MemoryError and non-Exception errors pass through).
[[noreturn]] void as_type_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_TypeError) ||
        PyErr_ExceptionMatches(PyExc_MemoryError)) {
        throw_error();
    }
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), trace = Ref::steal(tb);
    Ref text = v ? Ref::steal(PyObject_Str(v.get())) : Ref();
    if (!text) {
        PyErr_Clear();
        raise_type_error("payload could not be read");
    }
    PyErr_SetObject(PyExc_TypeError, text.get());  // the text as it is, even one no UTF-8 can hold
    throw_error();
}

// `walk()`, with every failure to read the payload raised as a TypeError.
template <class Walk>
auto reading(Walk&& walk) -> decltype(walk()) {
    try {
        return walk();
    } catch (const PythonError&) {
        as_type_error();
    }
}

}  // namespace

JsonValue to_json(const ModuleState& state, PyObject* obj) {
    return reading([&] {
        PyReader reader(state);
        core::JsonBuilder builder;
        return core::PayloadWalk(reader, builder).run(obj, core::event_schema(core::EventType::EventCreated)).value();
    });
}

core::Outcome<Ref> validate_payload(const ModuleState& state, core::EventType type, PyObject* payload) {
    return reading([&] {
        PyReader reader(state);
        PyBuilder builder;
        return core::PayloadWalk(reader, builder).run(payload, core::event_schema(type));
    });
}

core::Outcome<core::DeliveryDecision> route_payload(const ModuleState& state, std::string_view event_type,
                                                    std::optional<std::string_view> room_id, PyObject* payload,
                                                    std::string_view agent_id, bool& plain_keys) {
    return reading([&] {
        PyReader reader(state);
        auto decision = core::evaluate_delivery_event(event_type, room_id, reader, payload, agent_id);
        plain_keys = reader.plain_keys;
        return decision;
    });
}

Ref from_json(const JsonValue& value) {
    switch (value.kind()) {
        case Kind::Null: return none();
        case Kind::Bool: return boolean(value.as_bool());
        case Kind::UInt: return result::integer(value.as_uint());
        case Kind::Int: return result::integer(value.as_int());
        case Kind::Float: return result::real(value.as_float());
        case Kind::String: return result::str(value.as_string());
        case Kind::Array: return result::list(value.as_array(), from_json);
        case Kind::Object:  // the members are in key order already
            return result::dict_of(value.as_object(), [](const core::JsonMember& m) {
                return std::pair{make_str(m.first), from_json(m.second)};
            });
    }
    return none();
}

}  // namespace orvu::py
