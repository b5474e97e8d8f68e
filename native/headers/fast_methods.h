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
inline constexpr Param p_instance{"instance", &C.instance};
inline constexpr Param p_other{"other", &C.other};

// How a method is reached.
enum class Reach {
    fast,     // also through the public table, with override dispatch
    plain,    // from Python only
    static_,  // from Python only, as a static method
};

struct MethodRow {
    const char *name;             // as Python shows it; interned at module start into C.method_names
    Gives gives;                  // what an override's result must be (fast methods)
    const char *summary;          // the docstring after its signature line
    std::array<Param, 2> params;  // all of them required; unused ones empty
    Reach reach = Reach::fast;

    constexpr int count() const noexcept { return params[0].text ? (params[1].text ? 2 : 1) : 0; }
};

// Every Headers method described by a row. A row's place is the index of
// its interned name in C.method_names; the class dict's order is the method
// table's (headers_core.cpp).
// clang-format off
inline constexpr MethodRow method_rows[] = {
    {"keys", Gives::tuple, "The distinct stored names in order of first appearance.", {}},
    {"clone", Gives::headers, "A new Headers with new entries holding the same bytes names and values.", {}},
    {"get", Gives::tuple, "All values of the name, in list order, in the form of the key (bytes or str).", {p_name}},
    {"get_tuples", Gives::list, "The stored (name, value) entries of the name, unconverted.", {p_name}},
    {"add", Gives::nothing, "Append one field; the name is stored in canonical form.", {p_name, p_value}},
    {"set", Gives::nothing, "Replace every field of the name by one new field at the end.", {p_name, p_value}},
    {"get_single", Gives::any, "The one value of the name; ValueError unless there is exactly one.", {p_key}},
    {"get_first", Gives::any, "The first value of the name in the form of the key, or None.", {p_key}},
    {"remove", Gives::nothing, "Delete every field of the name.", {p_key}},
    {"merge", Gives::nothing, "Append the given (name, value) tuples as they are.", {p_values}},
    {"contains", Gives::truth, "Whether a field of the name is present.", {p_key}},
    {"update", Gives::nothing, "Set each name of a dict, replacing earlier entries of it.", {p_values}, Reach::plain},
    {"items", Gives::any, "A generator of the stored (name, value) entries.", {}, Reach::plain},
    {"add_many", Gives::nothing, "Add every pair of a mutable sequence or mapping.", {p_values}, Reach::plain},
    {"_add_to_instance", Gives::any, "Add a Headers, Header, pair or list of pairs to instance.",
     {p_instance, p_other}, Reach::static_},
};
// clang-format on
static_assert(std::size(method_rows) <= kMethodRows, "raise kMethodRows in common.h");

// The place of the row of that name; a name without a row does not compile.
consteval std::size_t row_of(std::string_view name) {
    for (std::size_t i = 0; i < std::size(method_rows); ++i)
        if (name == method_rows[i].name) return i;
    throw "no method row of that name";
}

// The interned name of the method, as looked up on a subclass instance.
template <std::size_t I>
inline PyObject *method_name() noexcept {
    return C.method_names[I];
}

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

// "get($self, name)\n--\n\n" and the summary: the signature line is what
// inspect reads, so it is built from the parameters the binder uses. The `$`
// marks the receiver, which a bound method has already taken; a static
// method has none.
template <std::size_t I>
consteval std::size_t doc_size() {
    constexpr const MethodRow &row = method_rows[I];
    std::size_t n = std::string_view(row.name).size() + std::string_view("()\n--\n\n").size() +
                    std::string_view(row.summary).size() + 1;
    if (row.reach != Reach::static_) n += std::string_view("$self").size();
    for (std::size_t i = 0; i < static_cast<std::size_t>(row.count()); ++i)
        n += std::string_view(", ").size() + std::string_view(row.params[i].text).size();
    return n;
}

template <std::size_t I>
consteval std::array<char, doc_size<I>()> make_doc() {
    constexpr const MethodRow &row = method_rows[I];
    std::array<char, doc_size<I>()> doc{};
    std::size_t at = 0;
    auto put = [&](std::string_view s) {
        for (char c : s) doc[at++] = c;
    };
    put(row.name);
    put("(");
    const bool receiver = row.reach != Reach::static_;
    if (receiver) put("$self");
    for (std::size_t i = 0; i < static_cast<std::size_t>(row.count()); ++i) {
        if (receiver || i > 0) put(", ");
        put(row.params[i].text);
    }
    put(")\n--\n\n");
    put(row.summary);
    return doc;
}

template <std::size_t I>
inline constexpr auto doc = make_doc<I>();

// The binder's description of the row's parameters.
template <std::size_t I>
inline constexpr Signature signature{method_rows[I].name,
                                     {method_rows[I].params[0].name, method_rows[I].params[1].name},
                                     method_rows[I].count(),
                                     method_rows[I].count()};

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
        return r < 0 ? nullptr : Py_NewRef(Py_None);
    } else {
        return r;
    }
}

}  // namespace detail

template <std::size_t I, auto Body>
struct Fast;

// One fast method: `call` is the table's entry (override dispatch, then the
// body), `py` the Python entry (bind, then the body: a call from Python runs
// the body of the class the interpreter found the method on), `slot` the
// form the public table stores.
template <std::size_t I, typename R, typename... A, R (*Body)(HeadersObject *, A...) noexcept>
struct Fast<I, Body> {
    static constexpr const MethodRow &Row = method_rows[I];
    static_assert(Row.reach == Reach::fast);
    static_assert(sizeof...(A) == static_cast<std::size_t>(Row.count()));
    static_assert(std::is_same_v<R, detail::Result<Row.gives>>);

    static R call(HeadersObject *self, A... args, int skip_dispatch) noexcept {
        if (skip_dispatch || VLM_LIKELY(!may_override(reinterpret_cast<PyObject *>(self)))) return Body(self, args...);
        Ref r;
        PyObject *argv[sizeof...(A) + 1] = {args..., nullptr};
        switch (call_override(reinterpret_cast<PyObject *>(self), method_name<I>(), as_pycfunction(py), r, argv,
                              sizeof...(A))) {
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
        return {Row.name, as_pycfunction(py), METH_FASTCALL | METH_KEYWORDS, detail::doc<I>.data()};
    }

private:
    template <std::size_t... K>
    static PyObject *bound(HeadersObject *self, PyObject *const *a, std::index_sequence<K...>) noexcept {
        return detail::to_python<Row.gives>(Body(self, a[K]...));
    }

    [[gnu::noinline]] static PyObject *py_bind(HeadersObject *self, PyObject *const *args, Py_ssize_t nargs,
                                               PyObject *kwnames) noexcept {
        PyObject *a[sizeof...(A)];
        if (bind(detail::signature<I>, args, nargs, kwnames, a) < 0) return nullptr;
        return bound(self, a, std::index_sequence_for<A...>{});
    }
};

// The method-table entry of a row reached from Python only.
template <std::size_t I>
PyMethodDef plain_def(PyCFunctionFastWithKeywords entry) noexcept {
    static_assert(method_rows[I].reach != Reach::fast);
    const int flags = METH_FASTCALL | METH_KEYWORDS | (method_rows[I].reach == Reach::static_ ? METH_STATIC : 0);
    return {method_rows[I].name, as_pycfunction(entry), flags, detail::doc<I>.data()};
}

using FastKeys = Fast<row_of("keys"), keys_body>;
using FastClone = Fast<row_of("clone"), clone_body>;
using FastGet = Fast<row_of("get"), get_body>;
using FastGetTuples = Fast<row_of("get_tuples"), get_tuples_body>;
using FastAdd = Fast<row_of("add"), add_body>;
using FastSet = Fast<row_of("set"), set_body>;
using FastGetSingle = Fast<row_of("get_single"), get_single_body>;
using FastGetFirst = Fast<row_of("get_first"), get_first_body>;
using FastRemove = Fast<row_of("remove"), remove_body>;
using FastMerge = Fast<row_of("merge"), merge_body>;
using FastContains = Fast<row_of("contains"), contains_body>;

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
