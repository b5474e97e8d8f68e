// What the core and velmora.headers share as C++: the branch hints (placed
// only where a measurement showed they help) and the one cast of a function
// pointer to the PyCFunction a method table stores.
#pragma once

#include <Python.h>

#include "velmora/pycompat.h"

#define VLM_LIKELY(x) __builtin_expect(!!(x), 1)
#define VLM_UNLIKELY(x) __builtin_expect(!!(x), 0)

// Through void (*)() because a METH_FASTCALL or METH_O function has another
// type than PyCFunction and the interpreter calls it by its flags.
template <typename F>
inline PyCFunction as_pycfunction(F f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
