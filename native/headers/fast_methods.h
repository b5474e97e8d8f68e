// The eleven fast methods of Headers, each described once by a row and
// implemented once by its body. Everything a method needs besides those
// (the override dispatch, the check of an override's result, the Python
// entry that binds arguments, the docstring, the table slot) is generated
// here from the row, so adding a method means adding a row, a body and its
// slot in the public table.
#pragma once

#include <array>
#include <string_view>
#include <type_traits>
#include <utility>

#include "args.h"
#include "common.h"
#include "messages.h"
#include "ref.h"

namespace velmora {

// What an override's result must be for the method to accept it.
enum class Gives {
    tuple,    // exactly a tuple, or None
    list,     // exactly a list, or None
    headers,  // a Headers (subclasses too), or None
    any,      // anything, returned as it is
    truth,    // anything; its truth value is the answer
    nothing,  // anything; discarded
};

struct Param {
    const char *text;       // as the docstring shows it
    PyObject *const *name;  // the interned constant the binder matches first by identity
};

inline constexpr Param p_name{"name", &C.name};
inline constexpr Param p_value{"value", &C.value};
inline constexpr Param p_key{"key", &C.key};
inline constexpr Param p_values{"values", &C.values};

struct FastRow {
    const char *name;       // as Python shows it
    PyObject *const *attr;  // the same name interned, for the override lookup
    Gives gives;
    const char *summary;          // the docstring after its signature line
    std::array<Param, 2> params;  // all of them required; unused ones empty

    constexpr int count() const noexcept { return params[0].text ? (params[1].text ? 2 : 1) : 0; }
};

// clang-format off
inline constexpr FastRow keys_row{"keys", &C.keys, Gives::tuple,
    "The distinct stored names in order of first appearance.", {}};
inline constexpr FastRow clone_row{"clone", &C.clone, Gives::headers,
    "A new Headers with new entries holding the same bytes names and values.", {}};
inline constexpr FastRow get_row{"get", &C.get, Gives::tuple,
    "All values of the name, in list order, in the form of the key (bytes or str).", {p_name}};
inline constexpr FastRow get_tuples_row{"get_tuples", &C.get_tuples, Gives::list,
    "The stored (name, value) entries of the name, unconverted.", {p_name}};
inline constexpr FastRow add_row{"add", &C.add, Gives::nothing,
    "Append one field; the name is stored in canonical form.", {p_name, p_value}};
inline constexpr FastRow set_row{"set", &C.set, Gives::nothing,
    "Replace every field of the name by one new field at the end.", {p_name, p_value}};
inline constexpr FastRow get_single_row{"get_single", &C.get_single, Gives::any,
    "The one value of the name; ValueError unless there is exactly one.", {p_key}};
inline constexpr FastRow get_first_row{"get_first", &C.get_first, Gives::any,
    "The first value of the name in the form of the key, or None.", {p_key}};
inline constexpr FastRow remove_row{"remove", &C.remove, Gives::nothing,
    "Delete every field of the name.", {p_key}};
inline constexpr FastRow merge_row{"merge", &C.merge, Gives::nothing,
    "Append the given (name, value) tuples as they are.", {p_values}};
inline constexpr FastRow contains_row{"contains", &C.contains, Gives::truth,
    "Whether a field of the name is present.", {p_key}};
// clang-format on

// The bodies, each beside the operations it belongs with. Object results:
// new reference or nullptr; status results: -1 error, 0 done; contains_body:
// 1 yes, 0 no, -1 error.
PyObject *keys_body(HeadersObject *self) noexcept;
PyObject *clone_body(HeadersObject *self) noexcept;
PyObject *get_body(HeadersObject *self, PyObject *name) noexcept;
PyObject *get_tuples_body(HeadersObject *self, PyObject *name) noexcept;
[[nodiscard]] int add_body(HeadersObject *self, PyObject *name, PyObject *value) noexcept;
[[nodiscard]] int set_body(HeadersObject *self, PyObject *name, PyObject *value) noexcept;
PyObject *get_single_body(HeadersObject *self, PyObject *key) noexcept;
PyObject *get_first_body(HeadersObject *self, PyObject *key) noexcept;
[[nodiscard]] int remove_body(HeadersObject *self, PyObject *key) noexcept;
[[nodiscard]] int merge_body(HeadersObject *self, PyObject *values) noexcept;
[[nodiscard]] int contains_body(HeadersObject *self, PyObject *key) noexcept;

// Only a class made by a class statement (or one with a dict, or abstract)
// can hold an override; direct instances never pay for a lookup.
inline bool may_override(PyObject *self) noexcept {
    PyTypeObject *tp = Py_TYPE(self);
    return tp->tp_dictoffset != 0 || (tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0;
}

// Looks the method up on the instance; when it is not this module's own
// Python entry, calls it: done with the override's result in `out`, or falls
// back to the body.
Outcome call_override(PyObject *self, PyObject *method, PyCFunction own, Ref &out, PyObject *const *argv,
                      size_t nargs) noexcept;

// The truth value of an override's answer; True, False and None need no call.
inline int truth_of(PyObject *o) noexcept {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    return PyObject_IsTrue(o);
}

namespace detail {

// "get(self, name)\n--\n\n" and the summary: the signature line is what
// inspect reads, so it is built from the parameters the binder uses.
template <const FastRow &Row>
consteval std::size_t doc_size() {
    std::size_t n = std::string_view(Row.name).size() + std::string_view("(self)\n--\n\n").size() +
                    std::string_view(Row.summary).size() + 1;
    for (int i = 0; i < Row.count(); ++i)
        n += std::string_view(", ").size() + std::string_view(Row.params[i].text).size();
    return n;
}

template <const FastRow &Row>
consteval std::array<char, doc_size<Row>()> make_doc() {
    std::array<char, doc_size<Row>()> doc{};
    std::size_t at = 0;
    auto put = [&](std::string_view s) {
        for (char c : s) doc[at++] = c;
    };
    put(Row.name);
    put("(self");
    for (int i = 0; i < Row.count(); ++i) {
        put(", ");
        put(Row.params[i].text);
    }
    put(")\n--\n\n");
    put(Row.summary);
    return doc;
}

template <const FastRow &Row>
inline constexpr auto doc = make_doc<Row>();

template <Gives G>
using Result = std::conditional_t<G == Gives::tuple || G == Gives::list || G == Gives::headers || G == Gives::any,
                                  PyObject *, int>;

// An override's result as the method gives it, or the failure value.
template <Gives G>
Result<G> accept(Ref &r) noexcept {
    if constexpr (G == Gives::tuple) {
        if (r.get() != Py_None && !is_exact_tuple(r.get())) return err_expected("tuple", r.get());
        return r.release();
    } else if constexpr (G == Gives::list) {
        if (r.get() != Py_None && !is_exact_list(r.get())) return err_expected("list", r.get());
        return r.release();
    } else if constexpr (G == Gives::headers) {
        if (r.get() != Py_None && !is_headers(r.get())) return err_cannot_convert(r.get(), "velmora.headers.Headers");
        return r.release();
    } else if constexpr (G == Gives::any) {
        return r.release();
    } else if constexpr (G == Gives::truth) {
        return truth_of(r.get());
    } else {
        return 0;
    }
}

// The body's result as the Python entry returns it.
template <Gives G>
PyObject *to_python(Result<G> r) noexcept {
    if constexpr (G == Gives::truth) {
        return r < 0 ? nullptr : PyBool_FromLong(r);
    } else if constexpr (G == Gives::nothing) {
        return r < 0 ? nullptr : Py_None;
    } else {
        return r;
    }
}

}  // namespace detail

template <const FastRow &Row, auto Body>
struct Fast;

// One fast method: `call` is the table's entry (override dispatch, then the
// body), `py` the Python entry (bind, then the body: a call from Python runs
// the body of the class the interpreter found the method on), `slot` the
// form the public table stores.
template <const FastRow &Row, typename R, typename... A, R (*Body)(HeadersObject *, A...) noexcept>
struct Fast<Row, Body> {
    static_assert(sizeof...(A) == static_cast<std::size_t>(Row.count()));
    static_assert(std::is_same_v<R, detail::Result<Row.gives>>);

    static R call(HeadersObject *self, A... args, int skip_dispatch) noexcept {
        if (skip_dispatch || VLM_LIKELY(!may_override(reinterpret_cast<PyObject *>(self)))) return Body(self, args...);
        Ref r;
        PyObject *argv[sizeof...(A) + 1] = {args..., nullptr};
        switch (
            call_override(reinterpret_cast<PyObject *>(self), *Row.attr, as_pycfunction(py), r, argv, sizeof...(A))) {
            case Outcome::error: return Failure{};
            case Outcome::fallback: return Body(self, args...);
            case Outcome::done: break;
        }
        return detail::accept<Row.gives>(r);
    }

    static PyObject *py(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
        HeadersObject *headers = as_headers(self);
        if constexpr (sizeof...(A) == 0) {
            if (bind_none(Row.name, nargs, kwnames) < 0) return nullptr;
            return detail::to_python<Row.gives>(Body(headers));
        } else {
            // All arguments by position is the call that matters for speed;
            // leaving the binder out of line spares it the binder's frame.
            if (VLM_LIKELY(nargs == Row.count() && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)))
                return bound(headers, args, std::index_sequence_for<A...>{});
            return py_bind(headers, args, nargs, kwnames);
        }
    }

    // The public table reports failure of the no-result methods through the
    // error indicator alone, and contains answers 0 with the error set.
    static auto slot(HeadersObject *self, A... args, int skip_dispatch) noexcept {
        if constexpr (Row.gives == Gives::nothing) {
            (void)call(self, args..., skip_dispatch);
        } else if constexpr (Row.gives == Gives::truth) {
            const int r = call(self, args..., skip_dispatch);
            return r < 0 ? 0 : r;
        } else {
            return call(self, args..., skip_dispatch);
        }
    }

    static PyMethodDef def() noexcept {
        return {Row.name, as_pycfunction(py), METH_FASTCALL | METH_KEYWORDS, detail::doc<Row>.data()};
    }

private:
    template <std::size_t... I>
    static PyObject *bound(HeadersObject *self, PyObject *const *a, std::index_sequence<I...>) noexcept {
        return detail::to_python<Row.gives>(Body(self, a[I]...));
    }

    [[gnu::noinline]] static PyObject *py_bind(HeadersObject *self, PyObject *const *args, Py_ssize_t nargs,
                                               PyObject *kwnames) noexcept {
        static constexpr Signature sig{Row.name, {Row.params[0].name, Row.params[1].name}, Row.count(), Row.count()};
        PyObject *a[sizeof...(A)];
        if (bind(sig, args, nargs, kwnames, a) < 0) return nullptr;
        return bound(self, a, std::index_sequence_for<A...>{});
    }
};

using FastKeys = Fast<keys_row, keys_body>;
using FastClone = Fast<clone_row, clone_body>;
using FastGet = Fast<get_row, get_body>;
using FastGetTuples = Fast<get_tuples_row, get_tuples_body>;
using FastAdd = Fast<add_row, add_body>;
using FastSet = Fast<set_row, set_body>;
using FastGetSingle = Fast<get_single_row, get_single_body>;
using FastGetFirst = Fast<get_first_row, get_first_body>;
using FastRemove = Fast<remove_row, remove_body>;
using FastMerge = Fast<merge_row, merge_body>;
using FastContains = Fast<contains_row, contains_body>;

// The module's own calls go through these with the flag clear, so that a
// subclass's override runs instead of the body.
inline constexpr auto headers_keys = FastKeys::call;
inline constexpr auto headers_clone = FastClone::call;
inline constexpr auto headers_get = FastGet::call;
inline constexpr auto headers_get_tuples = FastGetTuples::call;
inline constexpr auto headers_add = FastAdd::call;
inline constexpr auto headers_set = FastSet::call;
inline constexpr auto headers_get_single = FastGetSingle::call;
inline constexpr auto headers_get_first = FastGetFirst::call;
inline constexpr auto headers_remove = FastRemove::call;
inline constexpr auto headers_merge = FastMerge::call;
inline constexpr auto headers_contains = FastContains::call;

}  // namespace velmora
