// The owning reference type, and calls that read like the Python they mirror.
#pragma once

#include "error.hpp"

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace tqv {

// Move-only strong reference. `steal` adopts a new reference, `borrow` takes a strong one
// from a borrowed pointer; there is no implicit conversion from PyObject*.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // self.name
    Ref attr(PyObject* name) const;
    // self(*args, **kwargs): positional arguments first, then kw(...) ones.
    template <class... A>
    Ref operator()(const A&... args) const;

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference returned by the C API, or throw when it is NULL (the error is set).
inline Ref check(PyObject* p) {
    if (!p) throw PyError{};
    return Ref::steal(p);
}

// obj.name
Ref attr(PyObject* obj, PyObject* name);

inline Ref Ref::attr(PyObject* name) const { return tqv::attr(p_, name); }

// getattr(obj, name, default): only AttributeError falls back.
Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback);

// A Python int.
inline Ref integer(long value) { return check(PyLong_FromLong(value)); }

// bool(obj)
inline bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) == 1; }
inline bool truthy(const Ref& obj) { return truthy(obj.get()); }

// [a, b, ...] from borrowed items
inline Ref list_of(std::initializer_list<PyObject*> items) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(list.get(), i++, Py_NewRef(item));
    return list;
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// a == b, then its truth value
inline bool equals(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) == 1; }

// A keyword argument of a call: kw(names::cwd, cwd).
struct Kw {
    PyObject* name;
    PyObject* value;
};
inline Kw kw(PyObject* name, PyObject* value) noexcept { return {name, value}; }
inline Kw kw(PyObject* name, const Ref& value) noexcept { return {name, value.get()}; }

namespace detail {
inline PyObject* arg(PyObject* p) noexcept { return p; }
inline PyObject* arg(const Ref& r) noexcept { return r.get(); }

template <class... A>
constexpr bool keywords_last() {
    constexpr bool is_kw[] = {std::is_same_v<A, Kw>..., false};
    for (std::size_t i = 1; i < sizeof...(A); ++i)
        if (is_kw[i - 1] && !is_kw[i]) return false;
    return true;
}
}  // namespace detail

// f(*args, **kwargs) through vectorcall.
template <class... A>
Ref call(PyObject* f, const A&... args) {
    static_assert(detail::keywords_last<A...>(), "positional arguments come before keywords");
    constexpr std::size_t n = sizeof...(A);
    constexpr std::size_t nkw = (std::size_t{0} + ... + (std::is_same_v<A, Kw> ? 1 : 0));
    constexpr std::size_t npos = n - nkw;

    // stack[0] is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[n + 1] = {nullptr};
    Ref kwnames;
    if constexpr (nkw > 0) kwnames = check(PyTuple_New(nkw));
    std::size_t next = 1;
    [[maybe_unused]] auto place = [&](const auto& a) {
        if constexpr (std::is_same_v<std::decay_t<decltype(a)>, Kw>) {
            PyTuple_SET_ITEM(kwnames.get(), next - 1 - npos, Py_NewRef(a.name));
            stack[next++] = a.value;
        } else {
            stack[next++] = detail::arg(a);
        }
    };
    (place(args), ...);
    return check(PyObject_Vectorcall(f, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

template <class... A>
Ref Ref::operator()(const A&... args) const {
    return call(p_, args...);
}

}  // namespace tqv
