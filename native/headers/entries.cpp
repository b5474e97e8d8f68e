// The entry readers that are not inline: the scans' tight loop, kept out of
// line so that it has the registers to itself, and those that may run
// Python code (iteration, subscription), which are never on a fast path.
#include "entries.h"

namespace velmora {

Py_ssize_t find_bytes_name(PyObject *list, Py_ssize_t i, Py_ssize_t min_size, const unsigned char *key,
                           Py_ssize_t size) noexcept {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject *const *items = reinterpret_cast<PyListObject *>(list)->ob_item;
    auto stops_at = [&](PyObject *entry) noexcept { return stops_bytes_scan(entry, min_size, key, size); };
    // The entries of a long list are not all in the first-level cache;
    // asking for them ahead spares the loop a wait on each. A short list's
    // are there already, and the request would only cost.
    constexpr Py_ssize_t ahead = 16;
    if (n > 256)
        for (; i < n - ahead; ++i) {
            __builtin_prefetch(items[i + ahead]);
            if (stops_at(items[i])) return i;
        }
    for (; i < n; ++i)
        if (stops_at(items[i])) return i;
    return i;
}

int unpack_pair(PyObject *entry, Ref &first, Ref &second) noexcept {
    if (is_exact_tuple(entry) || is_exact_list(entry)) {
        const Py_ssize_t n = Py_SIZE(entry);
        if (n > 2) return err_too_many_to_unpack(2);
        if (n < 2) return err_need_more_to_unpack(n);
        PyObject *const *items = is_exact_tuple(entry) ? &PyTuple_GET_ITEM(entry, 0) : &PyList_GET_ITEM(entry, 0);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(entry));
    if (!it) return -1;
    Ref got[2];
    for (int k = 0; k < 2; ++k) {
        got[k] = Ref::steal(PyIter_Next(it.get()));
        if (!got[k]) return PyErr_Occurred() ? -1 : static_cast<int>(err_need_more_to_unpack(k));
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return err_too_many_to_unpack(2);
    if (PyErr_Occurred()) return -1;
    first = std::move(got[0]);
    second = std::move(got[1]);
    return 0;
}

PyObject *entry_first_item(PyObject *entry) noexcept {
    if (PyObject *name = exact_entry_name(entry, 1); VLM_LIKELY(name)) return Py_NewRef(name);
    if (is_exact_list(entry) && PyList_GET_SIZE(entry) > 0) return Py_NewRef(PyList_GET_ITEM(entry, 0));
    if (entry == Py_None) return err_none_not_subscriptable();
    // Everything else, empty pairs included, answers as `entry[0]` would.
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    return PyObject_GetItem(entry, zero.get());
}

}  // namespace velmora
