/*
 * velmora core: ASCII routines and the table of well-known header names,
 * shared by every native module of the package.
 *
 * The library is a real shared object (velmora/_vlm_core.<soabi>.so) that
 * other extension modules link against; it doubles as an importable module
 * exposing test hooks.  get_interned_header_name_bytes may be called with
 * len == 0, in which case data is never dereferenced and may be NULL.
 */
#ifndef VELMORA_VLM_CORE_H
#define VELMORA_VLM_CORE_H

#include <Python.h>
#include <stddef.h>

/* simd_is_ascii_lowercase and simd_lowercase_ascii. */
#include "vlm_bytes.h"

#if defined(VLM_CORE_BUILDING)
#  define VLM_CORE_API Py_EXPORTED_SYMBOL
#else
#  define VLM_CORE_API Py_IMPORTED_SYMBOL
#endif

#ifdef __cplusplus
#  define VLM_CORE_NOEXCEPT noexcept
extern "C" {
#else
#  define VLM_CORE_NOEXCEPT
#endif

/*
 * The process-wide shared bytes object holding the lowercase form of a
 * well-known header name, matched whatever the ASCII letter case of `data`.
 * Returns a borrowed reference (the object lives as long as the process), or
 * NULL when the name is not well known.  NULL never comes with an exception
 * set: if the table cannot be built yet (out of memory) the call is a miss
 * and the next call tries again.  Requires the GIL.
 */
VLM_CORE_API PyObject *get_interned_header_name_bytes(const char *data, size_t len) VLM_CORE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_VLM_CORE_H */
