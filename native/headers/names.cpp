// Canonical header names and the slow paths of name matching.
#include "names.h"

#include "args.h"
#include "small.h"

namespace velmora {

namespace {
constexpr NameState &NS = C.names;
}  // namespace

PyObject *simd_lower_bytes(PyObject *name) noexcept {
    if (name == Py_None) return Py_NewRef(Py_None);
    const Py_ssize_t size = PyBytes_GET_SIZE(name);
    const char *data = PyBytes_AS_STRING(name);
    if (size == 0 || simd_is_ascii_lowercase(data, static_cast<size_t>(size))) return Py_NewRef(name);
    PyObject *lowered = PyBytes_FromStringAndSize(nullptr, size);
    if (!lowered) return nullptr;
    simd_lowercase_ascii(data, PyBytes_AS_STRING(lowered), static_cast<size_t>(size));
    return lowered;
}

namespace detail {

PyObject *canonical_bytes_probe(PyObject *key) noexcept {
    const char *data = PyBytes_AS_STRING(key);
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(key));
    PyObject *canonical = get_interned_header_name_bytes(data, size);
    if (canonical) {
        NS.core_has_answered = true;
    } else {
        if (!simd_is_ascii_lowercase(data, size)) return nullptr;
        if (!NS.core_has_answered) return key;
        canonical = key;
    }
    // The evicted key is exactly bytes, so releasing it runs no Python code
    // (a bytes subclass is never remembered by address).
    BytesKeyMemo &m = bytes_key_memo_slot(key);
    PyObject *evicted = m.key;
    m = {Py_NewRef(key), canonical};
    Py_XDECREF(evicted);
    return canonical;
}

}  // namespace detail

PyObject *intern_bytes_name(PyObject *name) noexcept {
    if (PyObject *canonical = canonical_bytes_no_copy(name)) return Py_NewRef(canonical);
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(name));
    Ref lowered = Ref::steal(simd_lower_bytes(name));
    if (!lowered) return nullptr;
    if (PyObject *known = get_interned_header_name_bytes(PyBytes_AS_STRING(lowered.get()), size))
        return Py_NewRef(known);
    return lowered.release();
}

PyObject *intern_header_name_bytes(PyObject *name, int /*skip_dispatch*/) noexcept {
    if (name == Py_None) return Py_NewRef(Py_None);
    // Native callers are trusted to pass bytes, but anything else must not
    // be read as bytes.
    if (VLM_UNLIKELY(!is_exact_bytes(name))) return err_arg_type("name", "bytes", name);
    return intern_bytes_name(name);
}

namespace {

// str.lower() of an exact str. ASCII text is lowered here without a call;
// anything else goes through the cached unbound str.lower.
PyObject *lower_exact_str(PyObject *s) noexcept {
    if (!PyUnicode_IS_ASCII(s)) return PyObject_CallOneArg(C.str_lower, s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    PyObject *out = PyUnicode_New(n, 127);
    if (!out) return nullptr;
    simd_lowercase_ascii(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(s)),
                         reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(out)), static_cast<size_t>(n));
    return out;
}

bool has_ascii_upper(PyObject *s) noexcept {
    const Py_UCS1 *p = PyUnicode_1BYTE_DATA(s);
    return !simd_is_ascii_lowercase(reinterpret_cast<const char *>(p), static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
}

// sys.intern of the module's `sys`, looked up at every call as Python code
// would. For the real module the attribute is read from its dict directly:
// with no descriptor on the module type that is what getattr finds too.
PyObject *intern_function() noexcept {
    Ref sys = Ref::steal(lookup_global(C.sys));
    if (!sys) return nullptr;
    if (PyModule_CheckExact(sys.get())) {
        PyObject *fn = nullptr;
        if (PyDict_GetItemRef(PyModule_GetDict(sys.get()), C.intern, &fn) != 0) return fn;
    }
    return PyObject_GetAttr(sys.get(), C.intern);
}

// Whether `sys` of this module is still the sys module it imported, its
// `intern` the built-in one, and its class the plain module type, so that
// the two lookups above would find what they found at import.  The class is
// read at every call: assigning sys.__class__ changes no dict, and a module
// subclass may provide `intern` through a descriptor.
#if PY_VERSION_HEX >= 0x030C0000
// Watchers on both dicts clear NS.intern_untouched on any change that could
// matter. The interpreter calls them with whatever exception is pending at
// the change, so it is set aside here and put back unchanged.
int on_watched_dict(PyDict_WatchEvent event, PyObject *dict, PyObject *key, PyObject *) noexcept {
    PyObject *pending = PyErr_GetRaisedException();
    switch (event) {
        case PyDict_EVENT_ADDED:
        case PyDict_EVENT_MODIFIED:
        case PyDict_EVENT_DELETED:
            if (key == (dict == NS.watched_sys_dict ? C.intern : C.sys) ||
                (PyUnicode_Check(key) && PyUnicode_Compare(key, dict == NS.watched_sys_dict ? C.intern : C.sys) == 0))
                NS.intern_untouched = false;
            break;
        default:  // cleared, cloned, deallocated
            NS.intern_untouched = false;
            break;
    }
    PyErr_SetRaisedException(pending);
    return 0;
}

int start_watching(PyObject *module_dict) noexcept {
    NS.intern_untouched = false;
    // One watcher for the process: an import that fails after this and is
    // tried again must not use up the interpreter's few watcher ids.
    if (NS.watcher < 0 && (NS.watcher = PyDict_AddWatcher(on_watched_dict)) < 0) {
        // Other code holds every id.  Without a watcher the shortcut stays
        // off and each call looks sys.intern up: slower, never wrong.
        PyErr_Clear();
        return 0;
    }
    if (PyDict_Watch(NS.watcher, module_dict) < 0 || PyDict_Watch(NS.watcher, NS.watched_sys_dict) < 0) return -1;
    PyObject *fn = nullptr;
    if (PyDict_GetItemRef(NS.watched_sys_dict, C.intern, &fn) < 0) return -1;
    NS.intern_untouched = fn == C.builtin_intern;
    Py_XDECREF(fn);
    return 0;
}

inline bool dicts_untouched() noexcept { return NS.intern_untouched; }
#else
// No watchers here.  Every change to a dict gives it a new version tag, so
// while both tags are the ones last checked nothing in them has changed and
// the last verdict stands; after any change (to whatever key) the two
// entries are compared by identity again.
inline uint64_t dict_tag(PyObject *dict) noexcept { return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag; }

// Borrowed lookups of interned str keys in exact dicts: hashing and
// comparing them runs no Python code and cannot fail.
[[gnu::noinline]] bool recheck_dicts() noexcept {
    if (!C.module_dict) return NS.checked_verdict = false;  // the module's exec failed
    const bool same = PyDict_GetItemWithError(C.module_dict, C.sys) == NS.imported_sys &&
                      PyDict_GetItemWithError(NS.watched_sys_dict, C.intern) == C.builtin_intern;
    VLM_ASSERT(!PyErr_Occurred());
    NS.checked_module_tag = dict_tag(C.module_dict);
    NS.checked_sys_tag = dict_tag(NS.watched_sys_dict);
    NS.checked_verdict = same;
    return same;
}

int start_watching(PyObject *) noexcept {
    recheck_dicts();
    return 0;
}

inline bool dicts_untouched() noexcept {
    if (VLM_LIKELY(C.module_dict && dict_tag(C.module_dict) == NS.checked_module_tag &&
                   dict_tag(NS.watched_sys_dict) == NS.checked_sys_tag))
        return NS.checked_verdict;
    return recheck_dicts();
}
#endif

inline bool intern_untouched_now() noexcept { return dicts_untouched() && Py_IS_TYPE(NS.imported_sys, &PyModule_Type); }

// Through the canonical strings intern returned lately, a custom name seen
// again costs no copy and no call; holding them keeps them the interpreter's
// canonical objects. Only exact str is ever hashed here: its hash runs no code and cannot fail.
PyObject **recent_slot(PyObject *text) noexcept {
    VLM_ASSERT(is_exact_str(text));
    return &NS.recent_interned[static_cast<size_t>(PyObject_Hash(text)) & (kRecentInternedSlots - 1)];
}

// A str subclass (the str() of some name) is never looked up: its __hash__
// and __eq__ are its own, and the lowered copy made for intern is exact.
PyObject *recent_find(PyObject *text) noexcept {
    if (!is_exact_str(text)) return nullptr;
    PyObject *c = *recent_slot(text);
    if (c && PyUnicode_GET_LENGTH(c) == PyUnicode_GET_LENGTH(text) && PyUnicode_Compare(c, text) == 0) return c;
    return nullptr;
}

// sys.intern(text). `text` may be the caller's own object: it is never
// handed to intern itself, so the caller's string does not become the
// canonical one behind its back.
PyObject *sys_intern(PyObject *text, bool text_is_callers) noexcept {
    if (VLM_LIKELY(intern_untouched_now())) {
        if (PyUnicode_CHECK_INTERNED(text)) return Py_NewRef(text);
        if (PyObject *seen = recent_find(text)) return Py_NewRef(seen);
    }
    Ref fn = Ref::steal(intern_function());
    if (!fn) return nullptr;
    const bool builtin = fn.get() == C.builtin_intern;
    if (builtin) {
        if (PyUnicode_CHECK_INTERNED(text)) return Py_NewRef(text);
        if (PyObject *seen = recent_find(text)) return Py_NewRef(seen);
    }
    Ref arg = text_is_callers ? Ref::steal(lower_exact_str(text)) : Ref::borrow(text);
    if (!arg) return nullptr;
    Ref result = Ref::steal(PyObject_CallOneArg(fn.get(), arg.get()));
    if (!result) return nullptr;
    // From here on the name is compared as str data; anything else a
    // replaced intern hands back cannot serve as a name.
    if (!is_exact_str(result.get())) return err_expected("str", result.get());
    if (builtin) Py_XSETREF(*recent_slot(result.get()), Py_NewRef(result.get()));
    return result.release();
}

}  // namespace

bool interning_is_pure() noexcept { return intern_untouched_now(); }

int watch_intern(PyObject *module_dict, PyObject *sys_module) noexcept {
    Py_XSETREF(NS.imported_sys, Py_NewRef(sys_module));
    NS.watched_sys_dict = PyModule_GetDict(sys_module);
    return start_watching(module_dict);
}

namespace {

// Both known-name tables are keyed by address, so the hash is the address
// without the bits allocation alignment leaves zero.
size_t address_hash(PyObject *o) noexcept { return reinterpret_cast<uintptr_t>(o) >> 4; }

template <typename Slot>
Slot &known_slot(Slot (&slots)[kKnownNameSlots], PyObject *key) noexcept {
    return probe_slots(slots, kKnownNameSlots - 1, address_hash(key), [key](const Slot &s) { return s.key == key; });
}

// The table's names are the interpreter's canonical interned strings, so an
// interned key equals one of them exactly when it is that very object: a
// probe by address answers for it without hashing or comparing text.
void insert_address(PyObject *key) noexcept { known_slot(NS.known_by_address, key).key = key; }

// The table's str for each of its names, keyed by the core's shared bytes
// object of the same name. The core's perfect hash folds ASCII case and
// costs a fraction of a dict probe with an uncached text compare, so an ASCII
// key that is not the interned object itself is looked up there. Only valid
// when every name of the table is in the core, which indexing checks.
PyObject *str_for_core_bytes(PyObject *b) noexcept { return known_slot(NS.str_by_core_bytes, b).str; }

bool insert_core_name(PyObject *str) noexcept {
    if (!is_exact_str(str) || !PyUnicode_IS_ASCII(str)) return false;
    PyObject *b = get_interned_header_name_bytes(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(str)),
                                                 static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
    if (!b) return false;
    known_slot(NS.str_by_core_bytes, b) = {b, str};
    return true;
}

}  // namespace

int index_known_names(PyObject *table) noexcept {
    // Open addressing needs free slots; a larger table is looked up by hash.
    if (PyDict_GET_SIZE(table) > static_cast<Py_ssize_t>(kKnownNameSlots / 2)) return 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    bool covered = true;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (PyUnicode_CHECK_INTERNED(key)) insert_address(key);  // otherwise found through the dict
        covered = insert_core_name(key) && covered;
    }
    NS.core_covers_table = covered;
    return 0;
}

namespace {

// 1 and the table's object for an interned key, 0 when the key is not in
// the table.
inline int find_known_interned(PyObject *key) noexcept { return known_slot(NS.known_by_address, key).key != nullptr; }

// intern_header_name_str for an exact ASCII str, once the core is known to
// hold every name of the table: one core probe decides membership for every
// letter case.
PyObject *intern_ascii_str(PyObject *name) noexcept {
    const char *data = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(name));
    const size_t size = static_cast<size_t>(PyUnicode_GET_LENGTH(name));
    if (PyObject *b = get_interned_header_name_bytes(data, size)) {
        if (PyObject *known = str_for_core_bytes(b)) return Py_NewRef(known);
    }
    if (simd_is_ascii_lowercase(data, size)) return sys_intern(name, true);
    Ref lowered = Ref::steal(lower_exact_str(name));
    if (!lowered) return nullptr;
    return sys_intern(lowered.get(), false);
}

}  // namespace

bool is_known_str_key(PyObject *key) noexcept {
    return is_exact_str(key) && PyUnicode_CHECK_INTERNED(key) && find_known_interned(key);
}

PyObject *intern_header_name_str(PyObject *name, int /*skip_dispatch*/) noexcept {
    if (name == Py_None) return Py_NewRef(Py_None);
    if (VLM_LIKELY(is_exact_str(name))) {
        if (PyUnicode_CHECK_INTERNED(name) && find_known_interned(name)) return Py_NewRef(name);
        if (VLM_LIKELY(PyUnicode_IS_ASCII(name) && NS.core_covers_table)) return intern_ascii_str(name);
    }
    Ref text = is_exact_str(name) ? Ref::borrow(name) : Ref::steal(PyObject_Str(name));
    if (!text) return nullptr;
    PyObject *known = nullptr;
    if (PyDict_GetItemRef(C.known_headers_str, text.get(), &known) != 0) return known;  // hit, or error
    // Lowercase text is its own lowered form and missed the table already.
    if (PyUnicode_IS_ASCII(text.get()) && !has_ascii_upper(text.get())) return sys_intern(text.get(), true);
    Ref lowered = Ref::steal(lower_exact_str(text.get()));
    if (!lowered) return nullptr;
    if (PyDict_GetItemRef(C.known_headers_str, lowered.get(), &known) != 0) return known;
    return sys_intern(lowered.get(), false);
}

namespace detail {

PyObject *call_str_lower(PyObject *stored) noexcept {
    PyObject *lowered = is_exact_str(stored) ? lower_exact_str(stored) : PyObject_CallMethodNoArgs(stored, C.lower);
    if (!lowered || lowered == Py_None || is_exact_str(lowered)) return lowered;
    Failure f = err_expected("str", lowered);
    Py_DECREF(lowered);
    return f;
}

int str_name_matches_str(PyObject *stored, PyObject *low_s) noexcept {
    Ref lowered = Ref::steal(call_str_lower(stored));
    if (!lowered) return -1;
    if (lowered.get() == Py_None) return 0;
    return PyUnicode_Compare(lowered.get(), low_s) == 0;
}

int str_name_matches_bytes(PyObject *stored, PyObject *low_b) noexcept {
    Ref lowered = Ref::steal(call_str_lower(stored));
    if (!lowered) return -1;
    if (lowered.get() == Py_None) return 0;
    Ref decoded = Ref::steal(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(low_b), PyBytes_GET_SIZE(low_b), nullptr));
    if (!decoded) return -1;
    return PyUnicode_Compare(lowered.get(), decoded.get()) == 0;
}

int encode_error(PyObject *low_s) noexcept {
    // Raises the codec's own UnicodeEncodeError for the offending character.
    Ref encoded = Ref::steal(PyUnicode_AsLatin1String(low_s));
    if (encoded) {
        PyErr_SetString(PyExc_SystemError, "header name unexpectedly encodable");
    }
    return -1;
}

}  // namespace detail

namespace {

const Signature intern_sig_bytes{"intern_header_name_bytes", {&C.name}, 1, 1};
const Signature intern_sig_str{"intern_header_name_str", {&C.name}, 1, 1};

PyObject *py_intern_header_name_bytes(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *name;
    if (bind(intern_sig_bytes, args, nargs, kwnames, &name) < 0) return nullptr;
    if (name != Py_None && !is_exact_bytes(name)) return err_arg_type("name", "bytes", name);
    return intern_header_name_bytes(name, 1);
}

PyObject *py_intern_header_name_str(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    PyObject *name;
    if (bind(intern_sig_str, args, nargs, kwnames, &name) < 0) return nullptr;
    return intern_header_name_str(name, 1);
}

}  // namespace

PyMethodDef intern_header_name_bytes_def = {
    "intern_header_name_bytes", as_pycfunction(py_intern_header_name_bytes), METH_FASTCALL | METH_KEYWORDS,
    "intern_header_name_bytes(name)\n--\n\n"
    "Return the lowercase canonical bytes object of a header name (one shared object per well-known name)."};

PyMethodDef intern_header_name_str_def = {
    "intern_header_name_str", as_pycfunction(py_intern_header_name_str), METH_FASTCALL | METH_KEYWORDS,
    "intern_header_name_str(name)\n--\n\n"
    "Return the lowercase, interned str of a header name (str() of any other object)."};

}  // namespace velmora
