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

}  // namespace orvu::py
