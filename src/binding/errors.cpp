#include "binding/errors.hpp"

#include <exception>
#include <stdexcept>

namespace orvu::py {

void throw_error() { throw PythonError{}; }

void raise(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) throw_error();
    PyErr_SetObject(type, text.get());
    throw_error();
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "orvu_sdk_core: error signalled without an exception");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "orvu_sdk_core: unknown internal error");
    }
}

std::string type_name_of(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return "unknown";
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!text) {
        PyErr_Clear();
        return "unknown";
    }
    return std::string(text, static_cast<std::size_t>(size));
}

std::string_view utf8_view(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (!text) throw_error();
    return std::string_view(text, static_cast<std::size_t>(size));
}

Ref make_str(std::string_view text) {
    return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void raise_validation(const core::Issues& issues, PyObject* trace_context) {
    std::string message = std::to_string(issues.size()) + " validation issue(s)";
    if (!issues.empty()) {
        message += ": " + issues.front().message + " (" + issues.front().path + ")";
    }
    Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(issues.size())));
    for (std::size_t i = 0; i < issues.size(); ++i) {
        const auto& issue = issues[i];
        Ref triple = Ref::check(PyTuple_New(3));
        PyTuple_SetItem(triple.get(), 0, make_str(issue.path).release());
        PyTuple_SetItem(triple.get(), 1, make_str(core::issue_code_wire(issue.code)).release());
        PyTuple_SetItem(triple.get(), 2, make_str(issue.message).release());
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), triple.release());
    }
    Ref text = make_str(message);
    Ref exc = Ref::check(PyObject_CallFunctionObjArgs(PyExc_ValueError, text.get(), nullptr));
    if (PyObject_SetAttrString(exc.get(), "issues", tuple.get()) < 0) throw_error();
    if (PyObject_SetAttrString(exc.get(), "trace_context", trace_context ? trace_context : Py_None) < 0) {
        throw_error();
    }
    PyErr_SetObject(PyExc_ValueError, exc.get());
    throw_error();
}

}  // namespace orvu::py
