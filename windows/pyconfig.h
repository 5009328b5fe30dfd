/* pyconfig.h for building extension modules with mingw-w64 against the official 64-bit
   CPython 3.11 for Windows (python311.dll, built with MSVC, release, shared).

   The generic CPython headers read only these macros to lay out the structures an
   extension touches (PyObject, PyTypeObject, PyModuleDef ...) and to decide how API names
   are declared. Everything here must match that DLL: a wrong size is silent memory
   corruption at run time, so the compiler's own sizes are checked below. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this pyconfig.h is for 64-bit Windows (x86_64-w64-mingw32) only"
#endif

#define MS_WINDOWS
#define MS_WIN32 /* every Windows build, 64-bit too */
#define MS_WIN64
#define NT_THREADS /* Windows threads; the DLL has no pthread */

/* The extension links against python311.dll: API functions and data are
   __declspec(dllimport), PyMODINIT_FUNC is __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Release ABI: no reference-count debugging fields in PyObject, no extra type slots. */
#if defined(_DEBUG) || defined(Py_DEBUG) || defined(Py_REF_DEBUG) || defined(Py_TRACE_REFS)
#error "the official python311.dll is a release build: no debug ABI"
#endif

/* LLP64: long stays 32 bits on 64-bit Windows. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

#if __SIZEOF_SHORT__ != SIZEOF_SHORT || __SIZEOF_INT__ != SIZEOF_INT || __SIZEOF_LONG__ != SIZEOF_LONG \
    || __SIZEOF_LONG_LONG__ != SIZEOF_LONG_LONG || __SIZEOF_POINTER__ != SIZEOF_VOID_P                  \
    || __SIZEOF_SIZE_T__ != SIZEOF_SIZE_T || __SIZEOF_WCHAR_T__ != SIZEOF_WCHAR_T
#error "the compiler's type sizes differ from the official CPython 3.11 x64 ABI"
#endif

/* MSVC has no ssize_t: CPython's Windows build defines Py_ssize_t itself as __int64. */
typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX __LONG_LONG_MAX__

#define PYLONG_BITS_IN_DIGIT 30
#define Py_HASH_ALGORITHM 3 /* SipHash24, as the DLL; only informative for an extension */

#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define WITH_DOC_STRINGS 1 /* PyDoc_STR keeps its text, as in the official build */
#define WITH_PYMALLOC 1

#endif /* Py_CONFIG_H */
