// velmora.headers for C++17 and later: a header-only layer over
// velmora/headers.h.
//
//     #include <velmora/headers.hpp>
//
//     // once, in the module's exec slot
//     try { velmora::import(); } catch (velmora::error &e) { e.restore(); return -1; }
//
//     // in a function of the module
//     try {
//         velmora::headers h = velmora::headers::borrow(arg);   // TypeError unless a Headers
//         h.add("X-Request-Id", "42");                          // bytes name and value
//         velmora::object first = h.get_first("content-type");  // bytes key: bytes or None
//         if (first.is_bytes()) use(first.bytes());             // std::string_view, no copy
//         return h.keys().release();
//     } catch (velmora::error &e) {
//         e.restore();                                          // back to the interpreter
//         return nullptr;
//     }
//
// Errors are surfaced one way: every call that fails throws velmora::error,
// which takes the pending Python exception out of the interpreter and owns
// it; restore() hands it back unchanged.  Nothing here swallows, translates
// or logs an error.  The GIL must be held wherever these types live, are
// copied, destroyed or caught, as for any Python object.
//
// Names and values are taken as Python objects or as C++ strings; a C++
// string becomes a bytes object, so a lookup with it answers in bytes, as
// the same call from Python with a bytes key does.
#ifndef VELMORA_HEADERS_HPP
#define VELMORA_HEADERS_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#  error "velmora/headers.hpp needs C++17 or later; C code includes velmora/headers.h"
#endif

#include <velmora/headers.h>

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace velmora {

// An owned reference to a Python object (or to nothing).
class object {
public:
    object() noexcept = default;
    static object steal(PyObject *p) noexcept { return object(p); }
    static object borrow(PyObject *p) noexcept { return object(Py_XNewRef(p)); }

    object(const object &other) noexcept : p_(Py_XNewRef(other.p_)) {}
    object(object &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    object &operator=(object other) noexcept {
        // The old reference goes last: releasing it may run Python code
        // that reaches this very object.
        std::swap(p_, other.p_);
        return *this;
    }
    ~object() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    bool is_none() const noexcept { return p_ == Py_None; }
    bool is_bytes() const noexcept { return p_ != nullptr && PyBytes_Check(p_); }
    // The bytes of a bytes object, valid while this reference lives; throws
    // TypeError for anything else.
    inline std::string_view bytes() const;

private:
    explicit object(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// The pending Python exception, carried as a C++ exception.
class error : public std::exception {
public:
    // Takes the exception set in the interpreter (a SystemError if none
    // is, so an error is never lost for lack of one).
    error() noexcept {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "velmora: a call failed without an exception");
        exc_ = object::steal(VlmCompat_PyErr_GetRaisedException());
        describe();
    }

    // The exception object itself (borrowed).
    PyObject *exception() const noexcept { return exc_.get(); }
    // Sets it again as the interpreter's pending exception; after that
    // this object carries nothing.
    void restore() noexcept { VlmCompat_PyErr_SetRaisedException(exc_.release()); }
    // "TypeError: message", taken when the error was caught.
    const char *what() const noexcept override { return what_.c_str(); }

private:
    void describe() noexcept {
        try {
            what_ = Py_TYPE(exc_.get())->tp_name;
            // str() of an exception is Python code: it may fail, and must
            // not disturb the indicator of the caller.
            PyObject *saved = VlmCompat_PyErr_GetRaisedException();
            object text = object::steal(PyObject_Str(exc_.get()));
            const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            if (utf8 != nullptr && *utf8 != '\0') what_.append(": ").append(utf8);
            PyErr_Clear();
            VlmCompat_PyErr_SetRaisedException(saved);
        } catch (...) {
            what_.clear();  // out of memory: an empty description
        }
    }

    object exc_;
    std::string what_;
};

namespace detail {

inline object check(PyObject *result) {
    if (result == nullptr) throw error();
    return object::steal(result);
}

inline void check_status(int rc) {
    if (rc < 0) throw error();
}

}  // namespace detail

std::string_view object::bytes() const {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (!is_bytes()) {
        PyErr_Format(PyExc_TypeError, "expected bytes, got %.200s", p_ ? Py_TYPE(p_)->tp_name : "nothing");
        throw error();
    }
    if (PyBytes_AsStringAndSize(p_, &data, &size) < 0) throw error();
    return {data, static_cast<std::size_t>(size)};
}

// A bytes object of the given text.
inline object bytes(std::string_view text) {
    return detail::check(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// A name, key or value as the methods take it: a Python object (borrowed
// for the call) or a C++ string, which becomes bytes.
class arg {
public:
    arg(PyObject *p) noexcept : o_(object::borrow(p)) {}
    arg(const object &o) noexcept : o_(o) {}
    arg(std::string_view text) : o_(bytes(text)) {}
    arg(const char *text) : o_(bytes(text)) {}
    arg(const std::string &text) : o_(bytes(text)) {}
    PyObject *get() const noexcept { return o_.get(); }

private:
    object o_;
};

// Imports velmora.headers and fills the C API's table; call it in the exec
// slot of each module (or translation unit) that uses this header.
inline void import() { detail::check_status(VlmHeaders_Import()); }

// An owned reference to a Headers (or subclass) instance.  The methods are
// those of the fast-method table, called with the skip-dispatch flag clear:
// a Python subclass's override runs, as it does for velmora's own calls, and
// keys, get, get_tuples and clone may then answer None.
class headers {
public:
    // A new, empty collection.
    headers() : self_(detail::check(VlmHeaders_New(nullptr))) {}
    // A new collection sharing `values`, which must be exactly a list.
    explicit headers(const object &values) : self_(detail::check(VlmHeaders_New(values.get()))) {}

    // Takes a reference to `p`; TypeError unless it is a Headers.
    static headers borrow(PyObject *p) { return headers(adopt{}, object::borrow(checked(p))); }
    // Adopts the reference `p` (released on failure as well).
    static headers steal(PyObject *p) {
        if (p == nullptr) throw error();  // the failed call's own exception
        object owned = object::steal(p);
        checked(p);
        return headers(adopt{}, std::move(owned));
    }

    PyObject *ptr() const noexcept { return self_.get(); }
    [[nodiscard]] PyObject *release() noexcept { return self_.release(); }
    const object &as_object() const noexcept { return self_; }

    // The stored list itself (or None), read from the instance.
    object values() const noexcept { return object::borrow(raw()->values); }

    object keys() const { return detail::check(VlmHeaders_Keys(ptr())); }
    object clone() const { return detail::check(VlmHeaders_Clone(ptr())); }
    object get(const arg &name) const { return detail::check(VlmHeaders_Get(ptr(), name.get())); }
    object get_tuples(const arg &name) const { return detail::check(VlmHeaders_GetTuples(ptr(), name.get())); }
    void add(const arg &name, const arg &value) {
        detail::check_status(VlmHeaders_Add(ptr(), name.get(), value.get()));
    }
    void set(const arg &name, const arg &value) {
        detail::check_status(VlmHeaders_Set(ptr(), name.get(), value.get()));
    }
    object get_single(const arg &key) const { return detail::check(VlmHeaders_GetSingle(ptr(), key.get())); }
    object get_first(const arg &key) const { return detail::check(VlmHeaders_GetFirst(ptr(), key.get())); }
    void remove(const arg &key) { detail::check_status(VlmHeaders_Remove(ptr(), key.get())); }
    void merge(const object &values) { detail::check_status(VlmHeaders_Merge(ptr(), values.get())); }
    bool contains(const arg &key) const {
        const int found = VlmHeaders_Contains(ptr(), key.get());
        detail::check_status(found);
        return found != 0;
    }

    // One stored entry: its name and value, each an owned reference.
    struct entry {
        object name;
        object value;
    };

    // The entries in order, read straight from the list.  Like velmora's own
    // walks it holds the list it started with and re-reads its length at
    // every step, so Python code that runs in the loop body may change it;
    // an entry that is not a tuple of two or more items throws TypeError.
    class item_range {
    public:
        class iterator {
        public:
            bool operator!=(const iterator &end) const noexcept {
                (void)end;
                return index_ < PyList_GET_SIZE(list_.get());
            }
            iterator &operator++() noexcept {
                ++index_;
                return *this;
            }
            entry operator*() const {
                object e = detail::check(VlmCompat_PyList_GetItemRef(list_.get(), index_));
                if (!PyTuple_Check(e.get()) || PyTuple_GET_SIZE(e.get()) < 2) {
                    PyErr_Format(PyExc_TypeError, "a header entry must be a (name, value) tuple, not %.200s",
                                 Py_TYPE(e.get())->tp_name);
                    throw error();
                }
                return {object::borrow(PyTuple_GET_ITEM(e.get(), 0)), object::borrow(PyTuple_GET_ITEM(e.get(), 1))};
            }

        private:
            friend class item_range;
            iterator(object list, Py_ssize_t index) noexcept : list_(std::move(list)), index_(index) {}
            object list_;
            Py_ssize_t index_;
        };

        iterator begin() const noexcept { return iterator(list_, 0); }
        iterator end() const noexcept { return iterator(list_, 0); }

    private:
        friend class headers;
        explicit item_range(object list) noexcept : list_(std::move(list)) {}
        object list_;
    };

    // for (auto [name, value] : h.items()) ...
    item_range items() const {
        object list = values();
        if (!PyList_Check(list.get())) {
            // What walking the entries of an uninitialised instance gives.
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
            throw error();
        }
        return item_range(std::move(list));
    }

private:
    struct adopt {};
    headers(adopt, object self) noexcept : self_(std::move(self)) {}

    static PyObject *checked(PyObject *p) {
        if (p == nullptr || !VlmHeaders_Check(p)) {
            PyErr_Format(PyExc_TypeError, "expected velmora.headers.Headers, got %.200s",
                         p ? Py_TYPE(p)->tp_name : "NULL");
            throw error();
        }
        return p;
    }

    VlmHeadersObject *raw() const noexcept { return reinterpret_cast<VlmHeadersObject *>(self_.get()); }

    object self_;
};

}  // namespace velmora

#endif  // VELMORA_HEADERS_HPP
