// Text between Python str objects and C++ strings.
#pragma once

#include "binding/errors.hpp"

#include <string>
#include <string_view>

namespace orvu::py {

// UTF-8 text of a str object, without a copy (the str keeps it alive);
// throws PythonError (e.g. lone surrogates).
std::string_view utf8_view(PyObject* str);
// New str from UTF-8 text.
Ref make_str(std::string_view text);
// New str from text known to be ASCII (digits, hex tokens): no UTF-8 decoding.
Ref make_ascii_str(std::string_view ascii);
// The value of an int object in 64 bits: signed, else unsigned, else Beyond
// (more than 64 bits; no error is left set).
enum class IntFit { Signed, Unsigned, Beyond };
IntFit fit_int(PyObject* value, long long& s, unsigned long long& u);
// Name of an object's type for messages ("int", "NoneType"); "unknown" when unreadable.
std::string type_name_of(PyObject* obj);
// Qualified name of an object's type ("Outer.Inner"); "unknown" when unreadable.
std::string type_qualname_of(PyObject* obj);

}  // namespace orvu::py
