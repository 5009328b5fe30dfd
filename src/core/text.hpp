// Building texts the way f-strings do, and the captured built-ins that show and read them.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace tqv {

// A new str from UTF-8 text.
Ref ustr(const char* utf8);

// The str of a UTF-8 C string with static storage (a literal or a constant), made at its first
// use and kept for the process, so that a call passes the same object each time, as Python code
// passes its constants, instead of decoding the text again.
Ref text(const char* literal);

// f"{value}": an exact str as it is, anything else through format(value, "").
Ref fmt(PyObject* value);
// f"{value:spec}"
Ref fmt(PyObject* value, const char* spec);

// One piece of an f-string: a literal, or a {value} field formatted on the spot, so the
// pieces of a braced list are read and formatted left to right, as Python evaluates them.
class Piece {
public:
    Piece(const char* literal) : text_(tqv::text(literal)) {}
    Piece(PyObject* value) : text_(fmt(value)) {}
    Piece(const Ref& value) : text_(fmt(value.get())) {}
    PyObject* text() const noexcept { return text_.get(); }

private:
    Ref text_;
};

// f"..." from its pieces.
Ref fstring(std::initializer_list<Piece> pieces);

// print(text) and input() through the built-ins captured at start-up.
void print(PyObject* text);
void print(const Ref& text);
void input();

}  // namespace tqv
