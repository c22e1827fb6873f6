#include "binding/text.hpp"

namespace orvu::py {

std::string_view utf8_view(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (!text) throw_error();
    return std::string_view(text, static_cast<std::size_t>(size));
}

Ref make_str(std::string_view text) {
    return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref make_ascii_str(std::string_view ascii) {
    // ASCII reads the same as Latin-1, whose decoder only copies.
    return Ref::check(PyUnicode_DecodeLatin1(ascii.data(), static_cast<Py_ssize_t>(ascii.size()), nullptr));
}

IntFit fit_int(PyObject* value, long long& s, unsigned long long& u) {
    int overflow = 0;
    s = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (s == -1 && PyErr_Occurred()) throw_error();
    if (overflow == 0) return IntFit::Signed;
    if (overflow > 0) {
        u = PyLong_AsUnsignedLongLong(value);
        if (!PyErr_Occurred()) return IntFit::Unsigned;
        PyErr_Clear();
    }
    return IntFit::Beyond;
}

namespace {
std::string name_text(PyObject* name_or_null) {
    Ref name = Ref::steal(name_or_null);
    Py_ssize_t size = 0;
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (!text) {
        PyErr_Clear();
        return "unknown";
    }
    return std::string(text, static_cast<std::size_t>(size));
}
}  // namespace

std::string type_name_of(PyObject* obj) { return name_text(PyType_GetName(Py_TYPE(obj))); }

std::string type_qualname_of(PyObject* obj) { return name_text(PyType_GetQualName(Py_TYPE(obj))); }

}  // namespace orvu::py
