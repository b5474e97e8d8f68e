// Private interface between the core's translation units (hidden symbols).
#ifndef VELMORA_CORE_INTERNAL_H
#define VELMORA_CORE_INTERNAL_H

#include <Python.h>

#include "vlm_bytes.h"

namespace vlm::known {

// The shared objects in table order (count() of them), building them on
// first use.  NULL (no exception set) when they cannot be built yet.
PyObject *const *objects() noexcept;

}  // namespace vlm::known

#endif  // VELMORA_CORE_INTERNAL_H
