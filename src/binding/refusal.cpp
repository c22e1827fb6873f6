#include "binding/refusal.hpp"

#include "binding/text.hpp"

namespace orvu::py {

Ref refused(const core::Refusal& refusal, PyObject* trace_context) {
    if (refusal.kind != core::Refusal::Kind::Validation) {
        const bool value = refusal.kind == core::Refusal::Kind::Value;
        PyErr_SetObject(value ? PyExc_ValueError : PyExc_TypeError, make_str(refusal.text).get());
        return Ref();
    }
    const core::Issues& issues = refusal.issues;
    std::string message = std::to_string(issues.size()) + " validation issue(s)";
    if (!issues.empty()) {
        message += ": " + issues.front().message + " (" + issues.front().path + ")";
    }
    Ref tuple = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(issues.size())));
    Ref codes[3];  // each code's text made once, shared by the issues that carry it
    for (std::size_t i = 0; i < issues.size(); ++i) {
        const auto& issue = issues[i];
        Ref& code = codes[static_cast<std::size_t>(issue.code)];
        if (!code) code = make_str(core::issue_code_wire(issue.code));
        Ref triple = Ref::check(PyTuple_New(3));
        PyTuple_SetItem(triple.get(), 0, make_str(issue.path).release());
        PyTuple_SetItem(triple.get(), 1, Ref(code).release());
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
    return Ref();
}

void raise_refusal(const core::Refusal& refusal, PyObject* trace_context) {
    refused(refusal, trace_context);
    throw_error();
}

}  // namespace orvu::py
