#include "binding/convert.hpp"

#include "binding/result.hpp"
#include "core/scratch.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace orvu::py {
namespace {

using core::JsonValue;

// NaN and the infinities have no JSON form: both readers read them as null.
bool reads_as_null(double d) noexcept { return d != d || d - d != 0.0; }

using core::kMaxJsonDepth;
using core::Scratch;
using core::sort_members;

// Dict members held on the stack while a dict is read or rebuilt: a message
// payload's objects have at most ten members, so reading one allocates nothing.
constexpr std::size_t kStackMembers = 16;

// `value` op the integer written in decimal as `limit_text`.
bool compare(const Ref& value, const char* limit_text, int op) {
    Ref limit = Ref::check(PyLong_FromString(limit_text, nullptr, 10));
    const int r = PyObject_RichCompareBool(value.get(), limit.get(), op);
    if (r < 0) throw_error();
    return r == 1;
}

JsonValue convert_int(PyObject* obj) {
    // Exact int, so comparisons below never run a subclass's own methods.
    Ref value = Ref::check(PyNumber_Index(obj));
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

std::string_view key_text(PyObject* key) {
    if (!PyUnicode_CheckExact(key) && !PyUnicode_Check(key)) raise_type_error("dict keys must have type str");
    return utf8_view(key);
}

// One conversion: the module state supplies the abstract classes.
struct Reader {
    const ModuleState& state;
    Keepalive* keep = nullptr;  // null: every text is copied
    bool lookup_only = false;   // objects are only looked into: no need to sort them

    // The text of an exact str key or value, borrowed when the conversion
    // borrows; null origin otherwise.
    const void* hold(PyObject* str) const {
        if (!keep || !PyUnicode_CheckExact(str)) return nullptr;
        keep->push_back(Ref::borrow(str));
        return str;
    }

    JsonValue string(PyObject* str) const {
        const std::string_view text = utf8_view(str);
        if (const void* origin = hold(str)) return JsonValue::borrowed_string(text, origin);
        return JsonValue::string(std::string(text));
    }

    bool is_instance(PyObject* obj, const Ref& abc) const {
        int r = PyObject_IsInstance(obj, abc.get());
        if (r < 0) throw_error();
        return r == 1;
    }

    JsonValue sequence(PyObject* obj, int depth) const {
        JsonValue::Array items;
        if (PyList_Check(obj) || PyTuple_Check(obj)) {
            // A list may change under us if converting an item runs Python
            // code: re-read the length and hold each item while converting it.
            const bool list = PyList_Check(obj);
            for (Py_ssize_t i = 0; i < (list ? PyList_Size(obj) : PyTuple_Size(obj)); ++i) {
                Ref item = Ref::borrow(list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i));
                if (!item) throw_error();
                items.push_back(convert(item.get(), depth + 1));
            }
        } else {
            Ref iter = Ref::check(PyObject_GetIter(obj));
            while (Ref item = Ref::steal(PyIter_Next(iter.get()))) items.push_back(convert(item.get(), depth + 1));
            if (PyErr_Occurred()) throw_error();
        }
        return JsonValue::array(std::move(items));
    }

    // An exact dict is walked in place. Converting a value can run Python
    // code only for exotic values (abc checks, iteration), so each key and
    // value is held while converted and a change of size ends the walk with
    // an error.
    JsonValue exact_dict(PyObject* obj, int depth) const {
        const Py_ssize_t size = PyDict_Size(obj);
        JsonValue::Object members;
        members.reserve(static_cast<std::size_t>(size));
        Py_ssize_t pos = 0;
        PyObject *borrowed_key = nullptr, *borrowed_value = nullptr;
        bool exact_keys = true;  // no two exact str keys of one dict spell the same text
        while (PyDict_Next(obj, &pos, &borrowed_key, &borrowed_value)) {
            Ref key = Ref::borrow(borrowed_key), value = Ref::borrow(borrowed_value);
            const std::string_view k = key_text(key.get());  // the key object stays held meanwhile
            const void* origin = hold(key.get());
            exact_keys = exact_keys && PyUnicode_CheckExact(key.get());
            members.emplace_back(k, convert(value.get(), depth + 1), origin);
            if (PyDict_Size(obj) != size) raise_runtime_error("dictionary changed size during iteration");
        }
        if (lookup_only && exact_keys) return JsonValue::unordered_object(std::move(members));
        return JsonValue::object(std::move(members));
    }

    JsonValue mapping(PyObject* obj, int depth) const {
        if (PyDict_CheckExact(obj)) return exact_dict(obj, depth);
        // Other mappings (dict subclasses may override items()) are read
        // through a snapshot of their items.
        Ref items = Ref::check(PyDict_Check(obj) ? PyDict_Items(obj) : PyMapping_Items(obj));
        if (!PyList_Check(items.get())) raise_type_error("mapping items must be a list");
        JsonValue::Object members;
        for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
            Ref pair = Ref::borrow(PyList_GetItem(items.get(), i));
            if (!pair) throw_error();
            if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
                raise_type_error("mapping items must be (key, value) pairs");
            }
            std::string k(key_text(PyTuple_GetItem(pair.get(), 0)));
            members.emplace_back(std::move(k), convert(PyTuple_GetItem(pair.get(), 1), depth + 1));
        }
        return JsonValue::object(std::move(members));
    }

    JsonValue convert(PyObject* obj, int depth) const {
        // The exact builtin containers and str first: the chain below would
        // take them the same way, after several type-flag calls.
        if (depth < kMaxJsonDepth) {
            if (PyUnicode_CheckExact(obj)) return string(obj);
            if (PyDict_CheckExact(obj)) return exact_dict(obj, depth);
            if (PyList_CheckExact(obj)) return sequence(obj, depth);
        }
        if (obj == Py_None) return JsonValue::null();
        if (PyBool_Check(obj)) return JsonValue::boolean(obj == Py_True);
        if (PyLong_Check(obj)) return convert_int(obj);
        if (depth >= kMaxJsonDepth) {
            raise_type_error("JSON nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
        }
        if (PyList_Check(obj) || PyTuple_Check(obj)) return sequence(obj, depth);
        if (PyDict_Check(obj)) return mapping(obj, depth);
        if (PyUnicode_Check(obj)) return string(obj);
        if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
            raise_type_error("invalid type: byte array, expected any valid JSON value");
        }
        if (PyFloat_Check(obj)) {
            double d = PyFloat_AsDouble(obj);
            if (d == -1.0 && PyErr_Occurred()) throw_error();
            if (reads_as_null(d)) return JsonValue::null();
            return JsonValue::real(d);
        }
        if (PyAnySet_Check(obj) || is_instance(obj, state.sequence_abc)) return sequence(obj, depth);
        if (is_instance(obj, state.mapping_abc)) return mapping(obj, depth);
        raise_type_error("unsupported type " + type_qualname_of(obj));
    }
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

// Payloads nested deeper than this take the general conversion. A message
// nests three levels (metadata, mentions, a mention); 64 leaves any
// realistic payload on the quick path while its recursion stays far inside
// the kMaxJsonDepth the general conversion is built for.
constexpr int kQuickDepth = 64;

// One quick reading (see read_view). Containers put their children at the
// end of `nodes`, which may then move: nodes are reached by index only.
class QuickReader {
public:
    explicit QuickReader(ViewNodes& nodes) : nodes_(nodes) {}

    bool view(PyObject* obj, std::size_t slot, int depth) {
        PyObject* same = obj;
        switch (scalar(obj, slot, same)) {
            case Read::Done: return true;
            case Read::GiveUp: return false;
            case Read::Container: break;
        }
        if (depth >= kQuickDepth) return false;
        if (PyDict_CheckExact(obj)) {
            const std::size_t first = open(slot, JsonValue::Kind::Object, PyDict_Size(obj));
            Py_ssize_t pos = 0;
            PyObject *key = nullptr, *value = nullptr;
            for (std::size_t i = first; PyDict_Next(obj, &pos, &key, &value); ++i) {
                std::string_view text;
                if (!key_of(key, text)) return false;
                nodes_[i].set_key(text);
                if (!view(value, i, depth + 1)) return false;
            }
            return true;
        }
        const bool list = PyList_CheckExact(obj);
        const Py_ssize_t size = list ? PyList_Size(obj) : PyTuple_Size(obj);
        const std::size_t first = open(slot, JsonValue::Kind::Array, size);
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
            if (!view(item, first + static_cast<std::size_t>(i), depth + 1)) return false;
        }
        return true;
    }

    Ref copy(PyObject* obj, std::size_t slot, int depth) {
        PyObject* same = obj;
        switch (scalar(obj, slot, same)) {
            case Read::Done: return Ref::borrow(same);
            case Read::GiveUp: return {};
            case Read::Container: break;
        }
        if (depth >= kQuickDepth) return {};
        return PyDict_CheckExact(obj) ? copy_dict(obj, slot, depth) : copy_sequence(obj, slot, depth);
    }

private:
    ViewNodes& nodes_;

    enum class Read { Done, Container, GiveUp };

    // Reads a scalar or a str into node `slot` and sets `same` to the object
    // that stands for it in a copy (itself, or None for a float that reads
    // as null); Container for the containers the reader takes.
    Read scalar(PyObject* obj, std::size_t slot, PyObject*& same) {
        if (PyUnicode_CheckExact(obj)) {  // the usual value: decided here, without a call
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
            if (!text) return give_up();
            nodes_[slot].set_string(std::string_view(text, static_cast<std::size_t>(size)));
            return Read::Done;
        }
        if (PyDict_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) return Read::Container;
        return other_scalar(obj, slot, same);
    }

    Read other_scalar(PyObject* obj, std::size_t slot, PyObject*& same) {
        core::JsonView& node = nodes_[slot];
        if (obj == Py_None) {
            node.set_null();
            return Read::Done;
        }
        if (PyBool_Check(obj)) {
            node.set_bool(obj == Py_True);
            return Read::Done;
        }
        if (PyLong_CheckExact(obj)) {
            long long s = 0;
            unsigned long long u = 0;
            switch (fit_int(obj, s, u)) {
                case IntFit::Signed: node.set_integer(s); return Read::Done;
                case IntFit::Unsigned: node.set_uint(u); return Read::Done;
                case IntFit::Beyond: return Read::GiveUp;  // the general conversion says why
            }
        }
        if (PyFloat_CheckExact(obj)) {
            const double d = PyFloat_AsDouble(obj);
            if (reads_as_null(d)) {
                node.set_null();
                same = Py_None;
            } else {
                node.set_real(d);
            }
            return Read::Done;
        }
        return Read::GiveUp;
    }

    static Read give_up() {
        PyErr_Clear();
        return Read::GiveUp;
    }

    static bool key_of(PyObject* key, std::string_view& text) {
        if (!PyUnicode_CheckExact(key)) return false;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(key, &size);
        if (!data) return give_up() == Read::Done;
        text = std::string_view(data, static_cast<std::size_t>(size));
        return true;
    }

    // Makes node `slot` a container of `size` children, which are appended; returns the first's index.
    std::size_t open(std::size_t slot, JsonValue::Kind kind, Py_ssize_t size) {
        const auto count = static_cast<std::size_t>(size);
        const std::size_t first = nodes_.append(count);
        nodes_[slot].set_container(kind, static_cast<std::uint32_t>(first - slot), static_cast<std::uint32_t>(count));
        return first;
    }

    // A member read from a dict: the key's text and the borrowed key and
    // value (see read_copy for why they stay valid).
    struct Member {
        std::string_view key;
        std::uint64_t prefix;  // the key's first eight bytes as a big-endian number, zero-padded
        PyObject* k;
        PyObject* v;
    };

    Ref copy_dict(PyObject* obj, std::size_t slot, int depth) {
        const Py_ssize_t size = PyDict_Size(obj);
        const auto count = static_cast<std::size_t>(size);
        Scratch<Member, kStackMembers> member_space(count);
        const std::span<Member> members = member_space.items();
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        for (std::size_t i = 0; i < count && PyDict_Next(obj, &pos, &key, &value); ++i) {
            if (!key_of(key, members[i].key)) return {};
            members[i].prefix = core::bytes::big_endian_prefix(members[i].key);
            members[i].k = key;
            members[i].v = value;
        }
        // Put in key order by their addresses, which are cheaper to move.
        Scratch<const Member*, kStackMembers> order_space(count);
        const std::span<const Member*> order = order_space.items();
        for (std::size_t i = 0; i < count; ++i) order[i] = &members[i];
        sort_members(order, [](const Member* a, const Member* b) {
            return a->prefix != b->prefix ? a->prefix < b->prefix : core::json_key_less(a->key, b->key);
        });
        const std::size_t first = open(slot, JsonValue::Kind::Object, size);
        Ref dict = Ref::check(PyDict_New());
        for (std::size_t i = 0; i < count; ++i) {
            // The copy is built in key order; the views keep the order read,
            // in which lookups by the rules find the fields soonest.
            const Member& member = *order[i];
            const std::size_t node = first + static_cast<std::size_t>(&member - &members[0]);
            nodes_[node].set_key(member.key);
            Ref item = copy(member.v, node, depth + 1);
            if (!item) return {};
            if (PyDict_SetItem(dict.get(), member.k, item.get()) < 0) throw_error();
        }
        return dict;
    }

    Ref copy_sequence(PyObject* obj, std::size_t slot, int depth) {
        const bool list = PyList_CheckExact(obj);
        const Py_ssize_t size = list ? PyList_Size(obj) : PyTuple_Size(obj);
        const std::size_t first = open(slot, JsonValue::Kind::Array, size);
        Ref out = Ref::check(PyList_New(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
            Ref copied = copy(item, first + static_cast<std::size_t>(i), depth + 1);
            if (!copied) return {};
            PyList_SetItem(out.get(), i, copied.release());
        }
        return out;
    }
};

}  // namespace

bool read_view(PyObject* obj, ViewNodes& nodes) {
    nodes.reset();
    return QuickReader(nodes).view(obj, 0, 0);
}

// The garbage collector pauses while a copy is built. Building allocates,
// and a collection could run finalizers, the only way Python code could run
// during the copy and change the payload under it; with none, the payload's
// objects stay as read and are used borrowed.
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

Ref read_copy(PyObject* obj, ViewNodes& nodes) {
    nodes.reset();
    const CollectorPause pause;
    return QuickReader(nodes).copy(obj, 0, 0);
}

namespace {

// A member of a dict being rebuilt: its key's text and its key and value.
struct DictItem {
    std::string_view key;
    PyObject* k;
    PyObject* v;
};

// A new dict of `dict`'s members (in key order already) and `added` ones
// (keys absent from it), all in key order.
Ref merged_dict(PyObject* dict, std::vector<std::pair<Ref, Ref>>& added) {
    const auto size = static_cast<std::size_t>(PyDict_Size(dict));
    Scratch<DictItem, kStackMembers> space(size + added.size());
    const std::span<DictItem> items = space.items();
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    for (std::size_t i = 0; i < size && PyDict_Next(dict, &pos, &key, &value); ++i) {
        items[i] = {utf8_view(key), key, value};
    }
    for (std::size_t i = 0; i < added.size(); ++i) {
        items[size + i] = {utf8_view(added[i].first.get()), added[i].first.get(), added[i].second.get()};
    }
    sort_members(items, [](const DictItem& a, const DictItem& b) { return core::json_key_less(a.key, b.key); });
    Ref merged = Ref::check(PyDict_New());
    for (const DictItem& item : items) {
        if (PyDict_SetItem(merged.get(), item.k, item.v) < 0) throw_error();
    }
    return merged;
}

}  // namespace

Ref apply_edits(Ref copy, const ViewNodes& nodes, const std::vector<core::PayloadEdit>& edits) {
    // The dict in the copy that stands for object node `target`, found from
    // the top: by key in a dict, by position in a list. `holder` and `key`
    // (or `index`) say where it sits; no holder for the top.
    struct Found {
        PyObject* dict;
        PyObject* holder = nullptr;
        Ref key;
        Py_ssize_t index = 0;
    };
    const core::ViewPaths paths(nodes);
    auto find = [&](std::size_t target) {
        Found found{copy.get(), nullptr, Ref(), 0};
        for (const core::ViewStep& step : paths.to(target)) {
            found.holder = found.dict;
            if (step.by_key) {
                found.key = make_str(step.key);
                found.dict = PyDict_GetItemWithError(found.holder, found.key.get());
                if (!found.dict && !PyErr_Occurred()) raise_runtime_error("payload copy out of step with its reading");
            } else {
                found.key = Ref();
                found.index = static_cast<Py_ssize_t>(step.index);
                found.dict = PyList_GetItem(found.holder, found.index);
            }
            if (!found.dict) throw_error();  // the copy has every member and item the views have
        }
        if (!PyDict_CheckExact(found.dict)) raise_runtime_error("payload copy out of step with its reading");
        return found;
    };
    const auto order = core::edits_innermost_first(nodes, edits);
    for (std::size_t i = 0; i < order.size();) {
        const std::size_t node = order[i].first;
        Found object = find(node);
        std::vector<std::pair<Ref, Ref>> added;
        for (; i < order.size() && order[i].first == node; ++i) {
            const core::PayloadEdit& edit = *order[i].second;
            Ref key = make_str(edit.key);
            if (!edit.value) {
                if (PyDict_DelItem(object.dict, key.get()) < 0) throw_error();
                continue;
            }
            Ref value = from_json(*edit.value);
            const int present = PyDict_Contains(object.dict, key.get());
            if (present < 0) throw_error();
            if (present) {
                if (PyDict_SetItem(object.dict, key.get(), value.get()) < 0) throw_error();
            } else {
                added.emplace_back(std::move(key), std::move(value));
            }
        }
        if (added.empty()) continue;
        Ref merged = merged_dict(object.dict, added);
        if (!object.holder) {
            copy = merged;
        } else if (object.key) {
            if (PyDict_SetItem(object.holder, object.key.get(), merged.get()) < 0) throw_error();
        } else {
            PyList_SetItem(object.holder, object.index, merged.release());
        }
    }
    return copy;
}

JsonValue to_json(const ModuleState& state, PyObject* obj) {
    try {
        return Reader{state}.convert(obj, 0);
    } catch (const PythonError&) {
        as_type_error();
    }
}

JsonValue to_json_for_lookup(const ModuleState& state, PyObject* obj, Keepalive& keep) {
    try {
        return Reader{state, &keep, true}.convert(obj, 0);
    } catch (const PythonError&) {
        as_type_error();
    }
}

Ref from_json(const JsonValue& value) {
    switch (value.kind()) {
        case JsonValue::Kind::Null: return none();
        case JsonValue::Kind::Bool: return boolean(value.as_bool());
        case JsonValue::Kind::UInt: return result::integer(value.as_uint());
        case JsonValue::Kind::Int: return result::integer(value.as_int());
        case JsonValue::Kind::Float: return result::real(value.as_float());
        case JsonValue::Kind::String:
            if (value.origin()) return Ref::borrow(static_cast<PyObject*>(const_cast<void*>(value.origin())));
            return result::str(value.as_string());
        case JsonValue::Kind::Array: return result::list(value.as_array(), from_json);
        case JsonValue::Kind::Object: {
            // Keys are distinct; an object read without sorting is put in key order here.
            const std::size_t n = value.as_object().size();
            Scratch<const core::JsonMember*, core::kInsertionSortMembers> space(n);
            const std::span<const core::JsonMember*> members = space.items();
            for (std::size_t i = 0; i < n; ++i) members[i] = &value.as_object()[i];
            if (!value.ordered()) {
                sort_members(members, [](const core::JsonMember* a, const core::JsonMember* b) {
                    return core::json_key_less(a->first, b->first);
                });
            }
            Ref dict = Ref::check(PyDict_New());
            for (const core::JsonMember* member : members) {
                Ref k = member->key_origin ? Ref::borrow(static_cast<PyObject*>(const_cast<void*>(member->key_origin)))
                                           : make_str(member->first);
                Ref v = from_json(member->second);
                if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) throw_error();
            }
            return dict;
        }
    }
    return none();
}

}  // namespace orvu::py
