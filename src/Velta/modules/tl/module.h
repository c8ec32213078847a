// Module initialisation (multi-phase: create, then exec) and PyInit_tl.
// Part of the one translation unit tl.cpp, which includes it after the parts it
// relies on; see the code map there.
#ifndef VELTA_TL_MODULE_H
#define VELTA_TL_MODULE_H

// Module initialisation (multi-phase: create, then exec)

namespace {

// Copies spec.<attr> into the module namespace as `key`. A missing attribute
// is skipped; `skip_none` also skips a None value.
int copy_spec_attribute(PyObject* spec, PyObject* globals, const char* attr, const char* key, bool skip_none) {
    PyRef value(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(globals, key, value.get());
}

PyObject* create_module_object(PyObject* spec) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const int64_t current = PyInterpreterState_GetID(interp);
    if (current == -1 && PyErr_Occurred()) return nullptr;
    if (S.main_interpreter_id == -1) {
        S.main_interpreter_id = current;
    } else if (current != S.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError, msg::kInterpreterChange);
        return nullptr;
    }
    if (S.module) return Py_NewRef(S.module);

    PyRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyRef module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* globals = PyModule_GetDict(module.get());
    if (!globals) return nullptr;
    if (copy_spec_attribute(spec, globals, "loader", "__loader__", false) < 0) return nullptr;
    if (copy_spec_attribute(spec, globals, "origin", "__file__", false) < 0) return nullptr;
    if (copy_spec_attribute(spec, globals, "parent", "__package__", false) < 0) return nullptr;
    if (copy_spec_attribute(spec, globals, "submodule_search_locations", "__path__", true) < 0) return nullptr;
    return module.release();
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    PyObject* module = create_module_object(spec);
    if (!module) {
        add_traceback("init Velta.tl", __LINE__, true);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init Velta.tl");
    }
    return module;
}

// Warns when the running interpreter is not the one the headers came from.
int check_runtime_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(nullptr, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor);
}

// The type object must be at least as large as the headers say.
int check_type_size() {
    const Py_ssize_t expected = static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject));
    const Py_ssize_t actual = PyType_Type.tp_basicsize;
    const char* format = "%.200s.%.200s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject";
    if (actual < expected) {
        PyErr_Format(PyExc_ValueError, format, "builtins", "type", expected, actual);
        return -1;
    }
    if (actual > expected) return PyErr_WarnFormat(nullptr, 0, format, "builtins", "type", expected, actual);
    return 0;
}

int publish_type(PyObject* module, PyTypeObject* type, void (*setup)(PyTypeObject*), const char* name) {
    if (!(type->tp_flags & Py_TPFLAGS_READY)) {
        setup(type);
        if (PyType_Ready(type) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

// Registers the module under its full name unless an entry is already there.
int register_module(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyRef key(PyUnicode_FromString(kModuleName));
    if (!key) return -1;
    const int present = PyDict_Contains(modules, key.get());
    if (present != 0) return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, key.get(), module);
}

int exec_steps(PyObject* module) {
    Operation op("init Velta.tl");
    S.module = Py_NewRef(module);
    S.globals = PyModule_GetDict(module);
    if (!S.globals) return op.fail(__LINE__);
    if (!S.builtins && !(S.builtins = PyImport_ImportModule("builtins"))) return op.fail(__LINE__);
    if (PyModule_AddObjectRef(module, "__builtins__", S.builtins) < 0) return op.fail(__LINE__);
    if (check_runtime_version() < 0) return op.fail(__LINE__);
    if (init_constants() < 0) return op.fail(__LINE__);
    if (register_module(module) < 0) return op.fail(__LINE__);
    if (publish_type(module, &TLSchemaCompilerType, setup_compiler_type, "TLSchemaCompiler") < 0) return op.fail(__LINE__);
    if (publish_type(module, &TLParserType, setup_parser_type, "TLParser") < 0) return op.fail(__LINE__);
    if (check_type_size() < 0) return op.fail(__LINE__);
    PyRef json(PyImport_ImportModule("json"));
    if (!json || PyDict_SetItem(S.globals, S.str_json, json.get()) < 0) return op.fail(__LINE__);
    Py_XSETREF(S.json_loads, PyObject_GetAttr(json.get(), S.str_loads));
    if (!S.json_loads) return op.fail(__LINE__);
    Py_XSETREF(S.json_module, json.release());
    PyRef test_dict(PyDict_New());
    if (!test_dict || PyDict_SetItemString(S.globals, "__test__", test_dict.get()) < 0) return op.fail(__LINE__);
    return 0;
}

int module_exec(PyObject* module) {
    if (S.module) {
        if (S.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, msg::kReinitialised);
        return -1;
    }
    if (exec_steps(module) == 0) return 0;
    // A later import starts again from the create step.
    S.globals = nullptr;
    Py_CLEAR(S.module);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init Velta.tl");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_gil
    // Calls keep their state to themselves and shared data is immutable or
    // published atomically: the module runs without the GIL.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tl",     // m_name
    nullptr,  // m_doc
    0,        // m_size
    nullptr,  // m_methods
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_tl(void) { return PyModuleDef_Init(&module_def); }

#endif  // VELTA_TL_MODULE_H
