#include "binding/args.hpp"

#include <algorithm>
#include <cstring>
#include <deque>

namespace orvu::py {
namespace {

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

[[noreturn]] void too_many_positional(const Signature& sig, std::size_t given) {
    std::string m = std::string(sig.callable) + "() takes ";
    if (sig.positional == 0) {
        m += "no positional arguments";
    } else if (sig.required == sig.positional && sig.positional == sig.params.size()) {
        m += "exactly " + plural(sig.positional, "positional argument");
    } else {
        m += "at most " + plural(sig.positional, "positional argument");
    }
    m += " (" + std::to_string(given) + " given)";
    raise_type_error(m);
}

}  // namespace

void BoundArgs::store_keyword(PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) raise_type_error("keywords must be strings");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (!text) throw_error();
    std::string_view k(text, static_cast<std::size_t>(size));
    std::size_t i = 0;
    for (const std::string& p : sig_.params) {
        if (k == p) {
            if (slots_[i]) {
                std::string m = std::string(sig_.callable) + "() got multiple values for argument '" + p + "'";
                raise_type_error(m);
            }
            slots_[i] = value;
            return;
        }
        ++i;
    }
    if (sig_.var_keywords) {
        extra_.emplace_back(key, value);
        return;
    }
    std::string m = std::string(sig_.callable) + "() got an unexpected keyword argument '" + std::string(k) + "'";
    raise_type_error(m);
}

void BoundArgs::check_required() const {
    for (std::size_t i = 0; i < sig_.required; ++i) {
        if (!slots_[i]) {
            std::string m = std::string(sig_.callable) + "() missing required argument '" + name(i) + "'";
            if (i < sig_.positional) m += " (pos " + std::to_string(i + 1) + ")";
            raise_type_error(m);
        }
    }
}

void check_signature(const Signature& sig) {
    if (sig.params.size() > kMaxParams || sig.positional > sig.params.size() || sig.required > sig.params.size()) {
        raise(PyExc_SystemError, std::string(sig.callable) + "(): malformed argument signature");
    }
}

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// The next parameter of `rest` (up to the first comma outside brackets),
// taken off its front.
std::string_view next_param(std::string_view& rest) {
    int depth = 0;
    std::size_t i = 0;
    for (; i < rest.size() && (rest[i] != ',' || depth != 0); ++i) {
        depth += (rest[i] == '[' || rest[i] == '(') - (rest[i] == ']' || rest[i] == ')');
    }
    const std::string_view param = trim(rest.substr(0, i));
    rest.remove_prefix(std::min(i + 1, rest.size()));
    return param;
}

}  // namespace

const char* keep(std::string text) {
    // A deque never moves what it holds.
    static std::deque<std::string> texts;
    return texts.emplace_back(std::move(text)).c_str();
}

std::string fill(std::string_view text) { return std::string(text); }

std::vector<SurfaceEntry>& surface() {
    static std::vector<SurfaceEntry> entries;
    return entries;
}

Declaration parse_declaration(std::string_view text, std::string_view owner) {
    Declaration d;
    d.owner = owner;
    if (text.starts_with("@staticmethod ")) {
        d.is_static = true;
        text.remove_prefix(14);
    }
    const std::size_t open = text.find('(');
    d.name = std::string(trim(text.substr(0, std::min(open, text.find(':')))));
    if (open == std::string_view::npos) return d;  // a property
    const bool constructor = !d.name.empty() && d.name.front() >= 'A' && d.name.front() <= 'Z';
    if (constructor) {
        d.owner = d.name;
        d.name = "__new__";
        d.is_static = true;
    }
    const std::size_t close = text.rfind(')');
    // A method is named "Class.name" once its class is known.
    std::string callable = d.owner.empty() ? d.name : owner == "?" ? std::string() : d.owner + "." + d.name;
    d.signature = Signature{callable, {}, kMaxParams + 1, 0};  // until the parameters are read
    if (close == std::string_view::npos || close < open) return d;
    std::vector<std::string> params;
    params.reserve(kMaxParams);
    std::size_t positional = 0, required = 0;
    bool keyword_only = false, optional = false;
    std::string shown;
    shown.reserve(text.size() + 8);
    shown += constructor ? d.owner : d.name;
    shown += d.owner.empty() || d.is_static ? "(" : "($self";  // a constructor is static
    for (std::string_view rest = text.substr(open + 1, close - open - 1); !trim(rest).empty();) {
        const std::string_view param = next_param(rest);
        if (shown.back() != '(') shown += ", ";
        if (param == "*") {
            keyword_only = true;
            shown += "*";
            continue;
        }
        const std::size_t equals = param.find(" = ");
        const std::string_view name = trim(param.substr(0, std::min(param.find(':'), equals)));
        if (equals == std::string_view::npos && optional) return d;  // a required one after a default
        optional = equals != std::string_view::npos;
        params.emplace_back(name);
        if (!keyword_only) positional = params.size();
        if (!optional) required = params.size();
        shown += name;
        if (optional) {
            shown += '=';
            shown += trim(param.substr(equals + 3));
        }
    }
    d.text_signature = std::move(shown += ')');
    d.signature = Signature(std::move(callable), std::move(params), positional, required);
    return d;
}

void BoundArgs::bind_any(PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    check_signature(sig_);
    // METH_FASTCALL entry points receive the plain positional count.
    if (nargs > sig_.positional) too_many_positional(sig_, nargs);
    for (std::size_t i = 0; i < nargs; ++i) slots_[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        if (nkw < 0) throw_error();
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            if (!key) throw_error();
            store_keyword(key, args[nargs + static_cast<std::size_t>(k)]);
        }
    }
    check_required();
}

BoundArgs::BoundArgs(const Signature& sig, PyObject* args, PyObject* kwargs, ModuleState* state)
    : sig_(sig), state_(state) {
    check_signature(sig);
    Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
    if (nargs < 0) throw_error();
    if (static_cast<std::size_t>(nargs) > sig.positional) too_many_positional(sig, static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // The kwargs dict is a fresh one owned by the call; nothing below runs Python code.
        while (PyDict_Next(kwargs, &pos, &key, &value)) store_keyword(key, value);
    }
    check_required();
}

void BoundArgs::wrong_type(std::size_t i, std::string_view expected) const {
    raise_type_error(sig_.callable + "() argument '" + name(i) + "' must be " + std::string(expected) + ", not " +
                     type_name_of(slots_[i]));
}

Ref BoundArgs::index(std::size_t i) const {
    PyObject* obj = slots_[i];
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    if (!PyIndex_Check(obj)) wrong_type(i, "int");
    return Ref::check(PyNumber_Index(obj));
}

namespace {
template <class Wide>
Wide as_wide(PyObject* value) {
    if constexpr (std::is_signed_v<Wide>) {
        const long long v = PyLong_AsLongLong(value);
        if (v == -1 && PyErr_Occurred()) throw_error();
        return static_cast<Wide>(v);
    } else {
        const unsigned long long v = PyLong_AsUnsignedLongLong(value);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
        return static_cast<Wide>(v);
    }
}
}  // namespace

template <class Wide>
Wide BoundArgs::wide_integer(std::size_t i) const {
    // The usual argument, an exact int, has no __index__ to call and needs no reference.
    if (Py_IS_TYPE(slots_[i], &PyLong_Type)) return as_wide<Wide>(slots_[i]);
    return as_wide<Wide>(index(i).get());
}
template std::int64_t BoundArgs::wide_integer<std::int64_t>(std::size_t) const;
template std::uint64_t BoundArgs::wide_integer<std::uint64_t>(std::size_t) const;

double BoundArgs::real(std::size_t i) const {
    PyObject* obj = slots_[i];
    if (PyFloat_Check(obj)) return PyFloat_AsDouble(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();
        wrong_type(i, "float");
    }
    return v;
}

PyObject* BoundArgs::optional_str_object(std::size_t i) const {
    PyObject* obj = slots_[i];
    if (!obj || obj == Py_None) return nullptr;
    if (!PyUnicode_Check(obj)) wrong_type(i, "str or None");
    return obj;
}

Ref BoundArgs::optional_int_object(std::size_t i) const {
    if (!slots_[i] || slots_[i] == Py_None) return Ref();
    return index(i);
}

std::uint64_t BoundArgs::in_range(std::size_t i, PyObject* value, const core::IntRange& range) const {
    long long small = 0;
    unsigned long long big = 0;
    switch (fit_int(value, small, big)) {
        case IntFit::Signed: return in_range(i, static_cast<std::int64_t>(small), range);
        case IntFit::Unsigned: return unwrap(range.check(name(i), static_cast<std::uint64_t>(big)));
        case IntFit::Beyond: break;
    }
    // Quoted as int.__repr__ prints it: a subclass's own __repr__ or __str__ plays no part.
    Ref text = Ref::check(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "__repr__", "O", value));
    raise_refusal(range.refuse(name(i), utf8_view(text.get())));
}

std::vector<std::string> BoundArgs::str_sequence(std::size_t i) const {
    PyObject* obj = slots_[i];
    const bool is_list = PyList_Check(obj);
    if (!is_list && !PyTuple_Check(obj)) wrong_type(i, "list or tuple of str");
    const Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
    std::vector<std::string> items;
    // Nothing below runs Python code, so the list cannot change under us.
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = is_list ? PyList_GetItem(obj, k) : PyTuple_GetItem(obj, k);
        if (!item) throw_error();
        if (!PyUnicode_Check(item)) contains_wrong_type(i, item, " (at index " + std::to_string(k) + ")");
        items.emplace_back(utf8_view(item));
    }
    return items;
}

bool BoundArgs::str_items_contain(std::size_t i, PyObject* id) const {
    Ref iter = Ref::steal(PyObject_GetIter(slots_[i]));
    if (!iter) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error();
        PyErr_Clear();
        wrong_type(i, "an iterable of str");
    }
    bool found = false;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!PyUnicode_Check(item.get())) contains_wrong_type(i, item.get());
        if (id && !found) {
            const int order = PyUnicode_Compare(id, item.get());
            if (order == -1 && PyErr_Occurred()) throw_error();
            found = order == 0;
        }
    }
    if (PyErr_Occurred()) throw_error();
    return found;
}

void BoundArgs::contains_wrong_type(std::size_t i, PyObject* item, std::string_view where) const {
    raise_type_error(sig_.callable + "() argument '" + name(i) + "' must contain only str, not " + type_name_of(item) +
                     std::string(where));
}

bool BoundArgs::boolean(std::size_t i) const {
    PyObject* obj = slots_[i];
    if (!PyBool_Check(obj)) wrong_type(i, "bool");
    return obj == Py_True;
}

PyObject* BoundArgs::subtype_instance(std::size_t i, PyTypeObject* type) const {
    PyObject* obj = slots_[i];
    if (!PyObject_TypeCheck(obj, type)) {
        std::string expected = "orvu_sdk_core.";
        Ref name = Ref::steal(PyType_GetName(type));
        expected += name ? std::string(utf8_view(name.get())) : std::string("object");
        wrong_type(i, expected);
    }
    return obj;
}

}  // namespace orvu::py
