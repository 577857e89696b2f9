// PyInit_quist, the module definition and its create and exec steps.
//
// The module runs its body once per process: the first exec step records
// the module object, and every later import (a reload, or an import after
// its sys.modules entry was removed) gets that same object back from the
// create step and returns at once from the exec step.  A failed body clears
// the record, so a later import runs everything again.

#include "cpython.hpp"
#include "function.hpp"
#include "lines.hpp"
#include "names.hpp"
#include "record.hpp"
#include "session.hpp"
#include "traceback.hpp"

#include <cstdint>
#include <initializer_list>

// The version the module is compiled against, and the one its version
// check compares the running interpreter with.
#ifndef QUIST_BUILT_FOR_VERSION
#define QUIST_BUILT_FOR_VERSION PY_VERSION_HEX
#endif

namespace quist {
namespace {

// Process-wide records: they outlive every module object.
int64_t g_first_interpreter = -1;
Owned g_recorded_module = nullptr;

// Copies one attribute of the import spec into the module's globals.  A
// spec without it is skipped; so is a None search path.
void copy_spec_attribute(PyObject* spec, PyObject* globals, const char* attr, const char* global,
                         bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, attr);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        return;
    }
    Ref owned = Ref::steal(value);
    if (skip_none && value == Py_None) return;
    require_status(PyDict_SetItemString(globals, global, value));
}

PyObject* quist_create(PyObject* spec, PyModuleDef* /*def*/) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (g_first_interpreter == -1) {
        g_first_interpreter = id;
    } else if (g_first_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    PyObject* module = nullptr;
    if (g_recorded_module != nullptr) {
        // The earlier exec's state block is freed here, where it is still
        // known; the exec step that follows makes a new one.
        cpython::free_state_of_reused_module(g_recorded_module);
        return Py_NewRef(g_recorded_module);
    }
    at_boundary([&] {
        Ref name = require(PyObject_GetAttrString(spec, "name"));
        Ref made = require(PyModule_NewObject(name.borrow()));
        PyObject* globals = PyModule_GetDict(made.borrow());
        if (globals == nullptr) fail();
        copy_spec_attribute(spec, globals, "loader", "__loader__", false);
        copy_spec_attribute(spec, globals, "origin", "__file__", false);
        copy_spec_attribute(spec, globals, "parent", "__package__", false);
        copy_spec_attribute(spec, globals, "submodule_search_locations", "__path__", true);
        module = made.release();
    });
    return module;
}

// Warns when the running interpreter is another major.minor than the one
// the module was compiled for.  Raises if a filter turns it into an error.
void check_version() {
    const unsigned long built = QUIST_BUILT_FOR_VERSION;
    const unsigned long running = Py_Version;
    if ((running & ~0xFFFFUL) == (built & ~0xFFFFUL)) return;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  static_cast<int>((built >> 24) & 0xFF), static_cast<int>((built >> 16) & 0xFF),
                  "pellquist.quist", "does not match", static_cast<int>((running >> 24) & 0xFF),
                  static_cast<int>((running >> 16) & 0xFF));
    require_status(PyErr_WarnEx(nullptr, message, 1));
}

[[noreturn]] void cannot_import(PyObject* name) {
    raise_format(PyExc_ImportError, "cannot import name %S", name);
}

// hasattr(): false on AttributeError, other errors propagate.
bool has_attribute(PyObject* o, PyObject* name) {
    PyObject* value = PyObject_GetAttr(o, name);
    if (value != nullptr) {
        Py_DECREF(value);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    return false;
}

// `from <import_name> import <names...>` at `level`, storing each name in
// `globals`.  A module already in sys.modules under `absolute_name` that has
// every name is used without asking the import system.
void from_import(PyObject* globals, PyObject* absolute_name, PyObject* import_name, int level,
                 std::initializer_list<PyObject*> fromlist) {
    Ref module = Ref::steal(PyImport_GetModule(absolute_name));
    if (!module && PyErr_Occurred()) fail();
    if (module) {
        for (PyObject* name : fromlist) {
            if (!has_attribute(module.borrow(), name)) {
                module.reset();
                break;
            }
        }
    }
    if (!module) {
        Ref locals = require(PyDict_New());
        Ref list = require(PyList_New(0));
        for (PyObject* name : fromlist) require_status(PyList_Append(list.borrow(), name));
        module = require(
            PyImport_ImportModuleLevelObject(import_name, globals, locals.borrow(), list.borrow(), level));
    }
    for (PyObject* name : fromlist) {
        PyObject* value = PyObject_GetAttr(module.borrow(), name);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) cannot_import(name);
            PyErr_Clear();
            // The name may be a submodule that is imported but not yet bound.
            PyObject* modname = PyObject_GetAttr(module.borrow(), names().str___name__);
            if (modname == nullptr) cannot_import(name);
            Ref owned = Ref::steal(modname);
            Ref key = Ref::steal(PyUnicode_FromFormat("%S.%S", modname, name));
            if (!key) cannot_import(name);
            value = PyImport_GetModule(key.borrow());
            if (value == nullptr) cannot_import(name);
        }
        Ref owned_value = Ref::steal(value);
        require_status(PyDict_SetItem(globals, name, value));
    }
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    require_status(PyDict_SetItem(dict, key, value));
}

// The module body.  `line` follows the statement being run; it stays 0
// until the names exist, and failures before that get no traceback entry.
void run_body(PyObject* module, PyObject*& globals, int& line, bool& registered) {
    globals = PyModule_GetDict(module);
    if (globals == nullptr) fail();
    Ref builtins = require(PyImport_ImportModule("builtins"));
    require_status(PyDict_SetItemString(globals, "__builtins__", builtins.borrow()));
    check_version();
    make_names();
    const Names& n = names();

    namespace L = lines::body;
    line = L::kImportSqlglot;
    PyObject* modules = PyImport_GetModuleDict();
    if (require_status(PySequence_Contains(modules, n.str_module_fullname)) == 0) {
        require_status(PyObject_SetItem(modules, n.str_module_fullname, module));
        registered = true;
    }
    make_code_info();
    ready_function_type();
    ready_record_type();

    line = L::kImportSqlglot;
    from_import(globals, n.str_sqlglot, n.str_sqlglot, 0, {n.str_parse_one, n.str_exp});
    line = L::kImportModels;
    from_import(globals, n.str_models_fullname, n.str_models_relative, 1, {n.str_TableNotFound});

    line = L::kClass;
    Ref ns = require(PyDict_New());
    set_item(ns.borrow(), n.str___module__, n.str_module_fullname);
    set_item(ns.borrow(), n.str___qualname__, n.str_Session);
    line = lines::init::kDef;
    set_item(ns.borrow(), n.str___init__,
             make_function(Func::Init, session_init, nullptr, globals, builtins.borrow(), nullptr).borrow());
    line = lines::is_type::kDef;
    set_item(ns.borrow(), n.str_is_type,
             make_function(Func::IsType, session_is_type, nullptr, globals, builtins.borrow(), nullptr)
                 .borrow());
    line = lines::generate::kDef;
    set_item(ns.borrow(), n.str_generateNativeSQL,
             make_function(Func::Generate, session_generate, n.defaults_generate, globals,
                           builtins.borrow(), nullptr)
                 .borrow());
    line = L::kClass;
    PyObject* args[] = {n.str_Session, n.empty_tuple, ns.borrow()};
    Ref cls = vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr);
    set_item(globals, n.str_Session, cls.borrow());

    line = L::kTestDict;
    Ref test = require(PyDict_New());
    set_item(globals, n.str___test__, test.borrow());
}

// Takes back the sys.modules entry that a failed body made, so that a later
// import of pellquist.quist loads the module again instead of finding the
// half-built one.  The import system removes the entry only under the name
// it was loading, which may be another one.
void unregister(PyObject* module) {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyObject_GetItem(modules, names().str_module_fullname);
    if (entry == module) PyObject_DelItem(modules, names().str_module_fullname);
    Py_XDECREF(entry);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

int quist_exec(PyObject* module) {
    if (g_recorded_module != nullptr) {
        if (g_recorded_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'quist' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    g_recorded_module = Py_NewRef(module);
    PyObject* globals = nullptr;
    int line = 0;
    bool registered = false;
    if (at_boundary([&] { run_body(module, globals, line, registered); })) return 0;
    if (line > 0) add_body_traceback(line, globals);
    if (registered) unregister(module);
    Py_CLEAR(g_recorded_module);
    return -1;
}

PyModuleDef_Slot quist_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(quist_create)},
    {Py_mod_exec, reinterpret_cast<void*>(quist_exec)},
    {0, nullptr},
};

PyModuleDef quist_def = {
    PyModuleDef_HEAD_INIT,
    "quist",      // m_name
    nullptr,      // m_doc
    0,            // m_size
    nullptr,      // m_methods
    quist_slots,  // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

}  // namespace
}  // namespace quist

PyMODINIT_FUNC PyInit_quist() { return PyModuleDef_Init(&quist::quist_def); }
