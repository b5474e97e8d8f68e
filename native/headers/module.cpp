// The module frame: creation (one interpreter per process), the one-time
// initialisation sequence, the constants, the export tables and the presets.
#include <cstdint>
#include <utility>

#include "headers.h"
#include "names.h"
#include "pickle.h"
#include "walk.h"

namespace velmora {

ModuleState C{};

PyObject *lookup_global(PyObject *name) noexcept {
    PyObject *found = nullptr;
    if (C.module_dict) {
        const int r = PyDict_GetItemRef(C.module_dict, name, &found);
        if (r != 0) return found;  // hit, or error
    }
    PyObject *builtins = PyEval_GetBuiltins();
    if (builtins) {
        const int r = PyDict_GetItemRef(builtins, name, &found);
        if (r != 0) return found;
    }
    return err_not_defined(name);
}

namespace {

// The two tables below read better filled than one item a line.
// clang-format off
// The names of _KNOWN_HEADERS_STR, in table order.
constexpr const char *known_header_names[] = {
    "content-type", "content-length", "host", "cookie", "set-cookie", "accept", "accept-encoding",
    "accept-language", "user-agent", "server", "date", "connection", "transfer-encoding", "authorization",
    "location", "etag", "if-none-match", "origin", "access-control-allow-origin", "access-control-request-method",
    "hx-request", "hx-target", "hx-trigger", "hx-current-url", "hx-prompt",
};

struct StrConstant {
    PyObject **slot;
    const char *text;
};

const StrConstant str_constants[] = {
    {&C.name, "name"}, {&C.value, "value"}, {&C.key, "key"}, {&C.values, "values"}, {&C.instance, "instance"},
    {&C.other, "other"}, {&C.pyx_type, "__pyx_type"}, {&C.pyx_checksum, "__pyx_checksum"},
    {&C.pyx_state, "__pyx_state"}, {&C.items, "items"}, {&C.update, "update"}, {&C.lower, "lower"},
    {&C.dict_attr, "__dict__"}, {&C.class_attr, "__class__"}, {&C.name_attr, "__name__"}, {&C.sys, "sys"},
    {&C.intern, "intern"}, {&C.unpickle_header, "__pyx_unpickle_Header"},
    {&C.unpickle_headers, "__pyx_unpickle_Headers"}, {&C.mapping, "Mapping"},
    {&C.mutable_sequence, "MutableSequence"},
};
// clang-format on

// Each constant is built once: a failed earlier import may have built only
// some of them.
int build_constants() noexcept {
    if (!C.empty_str && !(C.empty_str = PyUnicode_FromStringAndSize(nullptr, 0))) return -1;
    for (const StrConstant &c : str_constants)
        if (!*c.slot && !(*c.slot = PyUnicode_InternFromString(c.text))) return -1;
    for (std::size_t i = 0; i < std::size(method_rows); ++i)
        if (!C.method_names[i] && !(C.method_names[i] = PyUnicode_InternFromString(method_rows[i].name))) return -1;
    if (!C.content_type_bytes && !(C.content_type_bytes = PyBytes_FromString("content-type"))) return -1;
    return 0;
}

int build_presets() noexcept {
    struct Preset {
        PyObject **slot;
        const char *media_type;
    };
    const Preset presets[] = {
        {&C.preset_json, "application/json"},
        {&C.preset_text, "text/plain; charset=utf-8"},
        {&C.preset_html, "text/html; charset=utf-8"},
        {&C.preset_not_found, "text/plain"},
    };
    for (const Preset &p : presets) {
        if (*p.slot) continue;
        Ref value = Ref::steal(PyBytes_FromString(p.media_type));
        if (!value) return -1;
        *p.slot = PyTuple_Pack(2, C.content_type_bytes, value.get());
        if (!*p.slot) return -1;
    }
    return 0;
}

int build_known_headers_str() noexcept {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return -1;
    for (const char *text : known_header_names) {
        Ref name = Ref::steal(PyUnicode_InternFromString(text));
        if (!name || PyDict_SetItem(table.get(), name.get(), name.get()) < 0) return -1;
    }
    if (index_known_names(table.get()) < 0) return -1;
    Py_XSETREF(C.known_headers_str, table.release());
    return 0;
}

int set_attr(PyObject *module, const char *name, PyObject *value_steal) noexcept {
    Ref value = Ref::steal(value_steal);
    if (!value) return -1;
    return PyObject_SetAttrString(module, name, value.get());
}

int add_function(PyObject *module, PyMethodDef *def) noexcept {
    Ref modname = Ref::steal(PyUnicode_FromString(VLM_HEADERS_MODULE_NAME));
    if (!modname) return -1;
    return set_attr(module, def->ml_name, PyCFunction_NewEx(def, nullptr, modname.get()));
}

int export_capi(PyObject *module) noexcept {
    PyObject *capi = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__pyx_capi__", &capi) < 0) return -1;
    Ref table = Ref::steal(capi);
    if (!table) {
        table = Ref::steal(PyDict_New());
        if (!table || PyObject_SetAttrString(module, "__pyx_capi__", table.get()) < 0) return -1;
    }
    struct Export {
        const char *name;
        VlmInternFunc fn;
    };
    const Export exports[] = {
        {"intern_header_name_bytes", intern_header_name_bytes},
        {"intern_header_name_str", intern_header_name_str},
    };
    for (const Export &e : exports) {
        Ref capsule = Ref::steal(PyCapsule_New(reinterpret_cast<void *>(e.fn), VLM_HEADERS_CAPI_SIGNATURE, nullptr));
        Ref key = Ref::steal(PyUnicode_FromString(e.name));
        if (!capsule || !key || PyObject_SetItem(table.get(), key.get(), capsule.get()) < 0) return -1;
    }
    return 0;
}

int ready_header(PyObject *module) noexcept {
    if (PyType_Ready(&HeaderType) < 0) return -1;
    return PyObject_SetAttrString(module, "Header", reinterpret_cast<PyObject *>(&HeaderType));
}

int ready_headers(PyObject *module) noexcept {
    if (PyType_Ready(&HeadersType) < 0) return -1;
    Ref capsule = Ref::steal(PyCapsule_New(&headers_vtable, nullptr, nullptr));
    if (!capsule || PyDict_SetItemString(HeadersType.tp_dict, "__pyx_vtable__", capsule.get()) < 0) return -1;
    PyType_Modified(&HeadersType);
    return PyObject_SetAttrString(module, "Headers", reinterpret_cast<PyObject *>(&HeadersType));
}

int import_abcs(PyObject *module) noexcept {
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return -1;
    for (PyObject *name : {C.mapping, C.mutable_sequence}) {
        Ref cls = Ref::steal(PyObject_GetAttr(abc.get(), name));
        if (!cls) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            return err_cannot_import_name(name);
        }
        if (PyObject_SetAttr(module, name, cls.get()) < 0) return -1;
    }
    return 0;
}

int import_sys(PyObject *module) noexcept {
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) return -1;
    if (!C.builtin_intern) {
        C.builtin_intern = PyObject_GetAttr(sys.get(), C.intern);
        if (!C.builtin_intern) return -1;
    }
    if (PyObject_SetAttr(module, C.sys, sys.get()) < 0) return -1;
    return watch_intern(C.module_dict, sys.get());
}

int bind_presets(PyObject *module) noexcept {
    const std::pair<const char *, PyObject *> presets[] = {
        {"STATIC_JSON_HEADERS", C.preset_json},
        {"STATIC_TEXT_HEADERS", C.preset_text},
        {"STATIC_HTML_HEADERS", C.preset_html},
        {"STATIC_NOT_FOUND_HEADERS", C.preset_not_found},
    };
    for (const auto &[name, entry] : presets) {
        if (set_attr(module, name, PyList_New(0)) < 0) return -1;
        Ref list = Ref::steal(PyObject_GetAttrString(module, name));
        if (!list || PyList_Append(list.get(), entry) < 0) return -1;
    }
    return 0;
}

// Whether this import put the module into sys.modules itself (an exec
// without the import system, which otherwise does it first).
bool inserted_in_modules = false;

int exec_steps(PyObject *module) noexcept {
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (set_attr(module, "__builtins__", builtins) < 0) return -1;
    // The running interpreter against the one whose headers built this module.
    const auto running_major = static_cast<int>(Py_Version >> 24);
    const auto running_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (running_major != PY_MAJOR_VERSION || running_minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, VLM_HEADERS_MODULE_NAME, "does not match",
                             running_major, running_minor) < 0)
            return -1;
    }
    if (build_constants() < 0) return -1;
    PyObject *modules = PyImport_GetModuleDict();
    Ref full_name = Ref::steal(PyUnicode_FromString(VLM_HEADERS_MODULE_NAME));
    if (!full_name) return -1;
    const int present = PyDict_Contains(modules, full_name.get());
    if (present < 0) return -1;
    if (!present) {
        if (PyDict_SetItemString(modules, VLM_HEADERS_MODULE_NAME, module) < 0) return -1;
        inserted_in_modules = true;
    }
    if (!C.str_lower) {
        C.str_lower = PyObject_GetAttr(reinterpret_cast<PyObject *>(&PyUnicode_Type), C.lower);
        if (!C.str_lower) return -1;
    }
    if (build_presets() < 0) return -1;
    if (export_capi(module) < 0) return -1;
    if (ready_header(module) < 0) return -1;
    if (ready_headers(module) < 0) return -1;
    if (PyType_Ready(&WalkType) < 0) return -1;
    if (import_abcs(module) < 0) return -1;
    if (import_sys(module) < 0) return -1;
    if (add_function(module, &intern_header_name_bytes_def) < 0) return -1;
    if (build_known_headers_str() < 0) return -1;
    if (add_function(module, &intern_header_name_str_def) < 0) return -1;
    if (bind_presets(module) < 0) return -1;
    if (add_function(module, &unpickle_header_def) < 0) return -1;
    if (add_function(module, &unpickle_headers_def) < 0) return -1;
    return set_attr(module, "__test__", PyDict_New());
}

int headers_exec(PyObject *module) noexcept {
    if (C.module) {
        if (C.module == module) return 0;
        return err_reinitialisation();
    }
    C.module = Py_NewRef(module);
    C.module_dict = PyModule_GetDict(module);
    inserted_in_modules = false;
    if (exec_steps(module) == 0) return 0;
    // A later import starts over with a new module object, so none of this
    // one may stay reachable; the import system only takes out an entry it
    // made itself.
    if (inserted_in_modules) {
        PyObject *pending = PyErr_GetRaisedException();
        PyObject *modules = PyImport_GetModuleDict();
        PyObject *entry = PyDict_GetItemString(modules, VLM_HEADERS_MODULE_NAME);
        if (entry == module && PyDict_DelItemString(modules, VLM_HEADERS_MODULE_NAME) < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    C.module_dict = nullptr;
    Py_CLEAR(C.module);
    return -1;
}

int copy_spec_attr(PyObject *spec, PyObject *module, const char *from, const char *to, bool skip_none) noexcept {
    PyObject *value = nullptr;
    const int r = PyObject_GetOptionalAttrString(spec, from, &value);
    if (r <= 0) return r;  // error, or missing: skipped
    Ref held = Ref::steal(value);
    if (skip_none && held.get() == Py_None) return 0;
    return PyObject_SetAttrString(module, to, held.get());
}

PyObject *headers_create(PyObject *spec, PyModuleDef *) noexcept {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (C.first_interpreter_id == -1) {
        C.first_interpreter_id = id;
    } else if (C.first_interpreter_id != id) {
        return err_interpreter_change();
    }
    if (C.module) return Py_NewRef(C.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec_attr(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

PyModuleDef_Slot headers_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(headers_create)},
    {Py_mod_exec, reinterpret_cast<void *>(headers_exec)},
    {0, nullptr},
};

PyModuleDef headers_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "headers",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = headers_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace velmora

PyMODINIT_FUNC PyInit_headers(void) { return PyModuleDef_Init(&velmora::headers_module); }
