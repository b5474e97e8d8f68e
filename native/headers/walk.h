// The generator objects handed out by items(), iteration over a collection
// and iteration over a record. They behave like generators for next, send,
// close and throw and show the __name__ / __qualname__ of the method.
#pragma once

#include "common.h"

namespace velmora {

enum class WalkKind { items, headers_iter, header_iter };

extern PyTypeObject WalkType;

// A new, not yet started walk over `source` (a Headers, or a Header for
// header_iter); it keeps `source` alive.
PyObject *walk_new(WalkKind kind, PyObject *source) noexcept;

}  // namespace velmora
