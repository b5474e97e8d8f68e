// Persistence of Header and Headers: reduce to a module-level reconstructor
// with a checksum of the field list, and set the state back.
#pragma once

#include "common.h"

namespace velmora {

PyObject *header_py_reduce(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;
PyObject *header_py_setstate(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) noexcept;

extern PyMethodDef unpickle_header_def;
extern PyMethodDef unpickle_headers_def;

}  // namespace velmora
