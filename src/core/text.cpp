// f-string pieces and the captured print/input.
#include "text.hpp"

#include "records.hpp"

namespace tqv {

Ref ustr(const char* utf8) { return check(PyUnicode_FromString(utf8)); }

Ref fmt(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return check(PyObject_Format(value, nullptr));
}

Ref fmt(PyObject* value, const char* spec) {
    Ref format_spec = ustr(spec);
    return check(PyObject_Format(value, format_spec.get()));
}

Ref fstring(std::initializer_list<Piece> pieces) {
    Ref parts = check(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t i = 0;
    for (const Piece& p : pieces) PyTuple_SET_ITEM(parts.get(), i++, Py_NewRef(p.text()));
    Ref empty = check(PyUnicode_FromStringAndSize("", 0));
    return check(PyUnicode_Join(empty.get(), parts.get()));
}

void print(PyObject* text) { call(records.print, text); }
void print(const Ref& text) { print(text.get()); }
void input() { call(records.input); }

}  // namespace tqv
