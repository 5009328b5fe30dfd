// f-string pieces and the captured print/input.
#include "text.hpp"

#include "except.hpp"
#include "names.hpp"
#include "records.hpp"

#include <array>
#include <cstdint>

namespace tqv {

Ref ustr(const char* utf8) { return check(PyUnicode_FromString(utf8)); }

namespace {
// Keyed by address: a static C string never changes its text. Open addressing; the GIL
// serialises access. Entries are never removed (plain statics, see records.hpp).
struct Literal {
    const char* key = nullptr;
    PyObject* value = nullptr;
};
std::array<Literal, 256> literals;
}  // namespace

Ref text(const char* literal) {
    const auto start = static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(literal) >> 3);
    for (std::size_t probe = 0; probe < literals.size(); ++probe) {
        Literal& slot = literals[(start + probe) % literals.size()];
        if (slot.key == literal) return Ref::borrow(slot.value);
        if (slot.key) continue;
        Ref made = ustr(literal);
        slot = {literal, Py_NewRef(made.get())};
        return made;
    }
    return ustr(literal);  // table full: more literals than the module has
}

Ref fmt(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return check(PyObject_Format(value, nullptr));
}

Ref fmt(PyObject* value, const char* spec) {
    Ref format_spec = ustr(spec);
    return check(PyObject_Format(value, format_spec.get()));
}

Ref fstring(std::initializer_list<Piece> pieces) {
    // As BUILD_STRING joins an f-string's pieces: straight from an array, no tuple.
    constexpr std::size_t most = 16;
    if (pieces.size() > most) raise(PyExc_SystemError, "tq_velmor: f-string with too many pieces");
    std::array<PyObject*, most> items;
    std::size_t n = 0;
    for (const Piece& p : pieces) items[n++] = p.text();
    return check(_PyUnicode_JoinArray(text("").get(), items.data(), static_cast<Py_ssize_t>(n)));
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
