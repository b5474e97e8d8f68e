// The shared bytes objects of the well-known header names, and the lookup
// that hands them out.  Matching itself lives in known_table.cpp.
#include "vlm_core.h"

#include <cstddef>

#include "core_internal.h"
#include "shared.h"

namespace {

// The table never holds more names than this; the exact count is
// vlm::known::count(), fixed when the table is compiled.
constexpr std::size_t kCapacity = 255;

// Built on first use rather than at module init: other extensions link this
// library directly and may look names up before anything imports
// velmora._vlm_core.  The references are never released, so the objects
// live as long as the process; the GIL serialises the one-time build.
PyObject *g_objects[kCapacity];
bool g_ready = false;

[[gnu::noinline, gnu::cold]] bool build_objects() noexcept {
    const std::size_t count = vlm::known::count();
    PyObject *made[kCapacity];
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view text = vlm::known::name(i);
        made[i] = PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (!made[i]) {
            while (i) Py_DECREF(made[--i]);
            // A miss is always a correct answer; the next call tries again.
            PyErr_Clear();
            return false;
        }
    }
    for (std::size_t i = 0; i < count; ++i) g_objects[i] = made[i];
    g_ready = true;
    return true;
}

inline bool objects_ready() noexcept {
#if defined(VELMORA_DEBUG)
    if (PyErr_Occurred()) Py_FatalError("velmora: name lookup entered with an exception set");
#endif
    return g_ready;
}

inline bool ensure_objects() noexcept { return objects_ready() || build_objects(); }

[[gnu::noinline, gnu::cold]] PyObject *build_then_get(int index) noexcept {
    return build_objects() ? g_objects[index] : nullptr;
}

}  // namespace

namespace vlm::known {

PyObject *const *objects() noexcept { return ensure_objects() ? g_objects : nullptr; }

}  // namespace vlm::known

extern "C" PyObject *get_interned_header_name_bytes(const char *data, std::size_t len) noexcept {
    const int index = vlm::known::index_of(data, len);
    if (index < 0) return nullptr;
    // The one-time build stays out of line, reached by a tail call.
    if (VLM_UNLIKELY(!objects_ready())) return build_then_get(index);
    return g_objects[index];
}
