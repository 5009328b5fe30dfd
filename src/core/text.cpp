// f-string pieces and the captured print/input.
#include "text.hpp"

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

void print(PyObject* text) { call(records.print, text); }
void print(const Ref& text) { print(text.get()); }
void input() { call(records.input); }

}  // namespace tqv
