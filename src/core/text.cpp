// f-string pieces and the captured print/input.
#include "text.hpp"

#include "except.hpp"
#include "names.hpp"
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

namespace {

// text.encode(encoding, "replace").decode(encoding) for the encoding of sys.stdout: what the
// stream can take, each character it cannot encode shown as "?". An empty Ref, with no error
// set, when there is no such stream or encoding.
Ref encodable_on_stdout(PyObject* text) {
    if (!PyUnicode_Check(text)) return {};
    PyObject* stream = PySys_GetObject("stdout");  // borrowed: the stream print finds
    if (!stream || stream == Py_None) return {};
    Ref encoding = Ref::steal(PyObject_GetAttr(stream, names::encoding));
    const char* name = encoding && PyUnicode_Check(encoding.get()) ? PyUnicode_AsUTF8(encoding.get()) : nullptr;
    Ref encoded = name ? Ref::steal(PyUnicode_AsEncodedString(text, name, "replace")) : Ref();
    Ref decoded = encoded && PyBytes_Check(encoded.get())
                      ? Ref::steal(PyUnicode_Decode(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()),
                                                    name, "strict"))
                      : Ref();
    if (!decoded) PyErr_Clear();
    return decoded;
}

}  // namespace

void print(PyObject* text) {
    try {
        call(records.print, text);
    } catch (const PyError&) {
        // A redirected stream in a legacy code page (cp1252 has no "█") must not stop the build
        // the screen reports: the line goes out again with what the stream cannot encode as "?".
        Caught e = Caught::take();
        if (!e.matches(PyExc_UnicodeEncodeError)) e.reraise();
        Ref replaced = encodable_on_stdout(text);
        if (!replaced) e.reraise();
        Handling handling(e);
        call(records.print, replaced.get());
    }
}
void print(const Ref& text) { print(text.get()); }
void input() { call(records.input); }

}  // namespace tqv
