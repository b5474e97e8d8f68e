// What every subsystem of velmora.headers shares: the object layouts (from
// the public header, in its implementing mode), the process-wide constants
// and the branch hints.
#pragma once

#define VELMORA_HEADERS_MODULE 1
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "shared.h"
#include "velmora/headers.h"

// Consistency checks of debug builds (VELMORA_DEBUG_CHECKS); nothing otherwise.
#ifdef VELMORA_DEBUG
#  define VLM_ASSERT(cond) assert(cond)
#else
#  define VLM_ASSERT(cond) ((void)0)
#endif

namespace velmora {

using HeadersObject = VlmHeadersObject;
using HeaderObject = VlmHeaderObject;

inline HeadersObject *as_headers(PyObject *o) noexcept { return reinterpret_cast<HeadersObject *>(o); }

// The answer of every path that may decline: failed with an exception set,
// done, or declined having changed nothing, so that the general path runs.
enum class [[nodiscard]] Outcome{error, done, fallback};

// Room for the rows of fast_methods.h, which checks that they fit.
inline constexpr std::size_t kMethodRows = 24;

// Exact bytes keys seen lately and their canonical object (names.h).
struct BytesKeyMemo {
    PyObject *key;
    PyObject *canonical;  // the core's shared object, or `key` itself
};
inline constexpr std::size_t kBytesKeyMemoSlots = 64;
inline constexpr std::size_t kRecentInternedSlots = 256;
inline constexpr std::size_t kKnownNameSlots = 64;
static_assert((kRecentInternedSlots & (kRecentInternedSlots - 1)) == 0 &&
                  (kKnownNameSlots & (kKnownNameSlots - 1)) == 0,
              "slots are picked by masking");

// What lets interning a name skip work (names.h, names.cpp): whether the
// module's `sys.intern` is still the one it imported, the canonical names
// seen lately, and the known-name table indexed by address.
struct NameState {
    // A direct-mapped cache, not a table (no probing: a new key overwrites
    // its slot). Each slot holds its key, so an address cannot be reused
    // while remembered; the fixed number of slots bounds what a stream of
    // distinct keys can pin.
    BytesKeyMemo bytes_key_memo[kBytesKeyMemoSlots];
    // The core misses every name while its table cannot be built (out of
    // memory); only once it has answered is a miss final enough to remember.
    bool core_has_answered;
    // Canonical strings the real sys.intern returned lately, direct-mapped
    // by hash like the memo above.
    PyObject *recent_interned[kRecentInternedSlots];

    // The sys module imported at exec and its dict, compared against the
    // module's `sys` and its `intern` at each interning.
    PyObject *imported_sys;
    PyObject *watched_sys_dict;
#if PY_VERSION_HEX >= 0x030C0000
    int watcher = -1;  // one for the process: a retried import reuses it
    bool intern_untouched;
#else
    // The dicts' version tags when last compared, and what was found.
    uint64_t checked_module_tag, checked_sys_tag;
    bool checked_verdict;
#endif

    // _KNOWN_HEADERS_STR's interned keys by address, and its str by the
    // core's bytes object of the same name: open-addressed, filled once.
    struct KnownName {
        PyObject *key;
    } known_by_address[kKnownNameSlots];
    struct CoreName {
        PyObject *key;  // the core's bytes
        PyObject *str;
    } str_by_core_bytes[kKnownNameSlots];
    bool core_covers_table;  // every name of the table is in the core
};

// Everything the module keeps beyond a call: interned names, cached objects
// and the process-wide state. It is one static object, not per-module state
// reached through the module: the types are static, the module refuses a
// second interpreter and re-initialisation, and the fast paths read these
// fields with no module lookup at all, which is what keeps a lookup at a few
// dozen instructions.
struct ModuleState {
    // Interned names, built once at module exec and kept.
    PyObject *name, *value, *key, *values;          // parameter names of Header and Headers methods
    PyObject *instance, *other;                     // parameter names of _add_to_instance
    PyObject *pyx_type, *pyx_checksum, *pyx_state;  // parameter names of the pickle functions
    PyObject *method_names[kMethodRows];            // per row of fast_methods.h, looked up on subclasses
    PyObject *items;                                // called on a non-dict mapping by add_many
    PyObject *update;                               // called to merge a pickled instance dict
    PyObject *lower;                                // called on names that are not exact str
    PyObject *dict_attr, *class_attr, *name_attr;   // __dict__, __class__, __name__
    PyObject *sys, *intern;                         // the module global sys and its intern, looked up by interning
    PyObject *unpickle_header, *unpickle_headers;   // reconstructor names, looked up at reduce
    PyObject *mapping, *mutable_sequence;           // module globals add_many tests against

    // Cached objects.
    PyObject *empty_str;                                                   // the format spec of Header's repr
    PyObject *content_type_bytes;                                          // the name of every preset entry
    PyObject *preset_json, *preset_text, *preset_html, *preset_not_found;  // the preset entries
    PyObject *str_lower;                                                   // unbound str.lower
    PyObject *builtin_intern;     // sys.intern as imported, to spot the common case
    PyObject *known_headers_str;  // _KNOWN_HEADERS_STR (module-internal)

    // The process: the module once exec has begun, and the one interpreter
    // allowed to import it.
    PyObject *module;
    PyObject *module_dict;  // its dict, for global lookups
    int64_t first_interpreter_id = -1;

    NameState names;
};
extern ModuleState C;

extern PyTypeObject HeadersType;
extern PyTypeObject HeaderType;
extern VlmHeadersVTable headers_vtable;

inline bool is_exact_bytes(PyObject *o) noexcept { return PyBytes_CheckExact(o); }
inline bool is_exact_str(PyObject *o) noexcept { return PyUnicode_CheckExact(o); }
inline bool is_str(PyObject *o) noexcept { return PyUnicode_Check(o); }
inline bool is_exact_tuple(PyObject *o) noexcept { return PyTuple_CheckExact(o); }
inline bool is_exact_list(PyObject *o) noexcept { return PyList_CheckExact(o); }
inline bool is_exact_dict(PyObject *o) noexcept { return PyDict_CheckExact(o); }
inline bool is_headers(PyObject *o) noexcept { return PyObject_TypeCheck(o, &HeadersType); }
inline bool is_header(PyObject *o) noexcept { return PyObject_TypeCheck(o, &HeaderType); }

// A module global looked up the way Python code would at each use: the
// module's own attributes first, then the built-ins. Returns a new reference
// or raises NameError.
PyObject *lookup_global(PyObject *name) noexcept;

}  // namespace velmora
