#include "function.hpp"

#include "arguments.hpp"
#include "traceback.hpp"

#include <cstddef>

namespace quist {
namespace {

constexpr int kMaxParams = 3;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    int line = info(f->id).first_line;
    if (Py_EnterRecursiveCall(" in a pellquist.quist function")) {
        add_traceback(f->id, line, f->globals);
        return nullptr;
    }
    PyObject* result = nullptr;
    at_boundary([&] {
        PyObject* bound[kMaxParams];
        bind_arguments(f->id, f->defaults, args, nargsf, kwnames, bound);
        result = f->body(f, bound, line).release();
    });
    Py_LeaveRecursiveCall();
    if (result == nullptr) add_traceback(f->id, line, f->globals);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->closure);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->closure);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %s at %p>", info(f->id).qualname, self);
}

const Names::Function& of(PyObject* self) {
    return names().functions[static_cast<int>(reinterpret_cast<FunctionObject*>(self)->id)];
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(of(self).name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(of(self).qualname); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject*, void*) { return PyDict_New(); }

PyObject* get_code(PyObject* self, void*) {
    PyObject* code = of(self).code;
    return Py_NewRef(code ? code : Py_None);
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = reinterpret_cast<FunctionObject*>(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}

PyObject* get_globals(PyObject* self, void*) {
    PyObject* g = reinterpret_cast<FunctionObject*>(self)->globals;
    return Py_NewRef(g ? g : Py_None);
}

// `__module__` is the type's own, "pellquist.quist", taken from its name.
PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

// Functions are made only by the module (no Py_tp_new, and instantiation
// refused), bind through instances like Python functions (a method
// descriptor), and cannot be subclassed or changed.
PyType_Spec function_spec = {
    .name = "pellquist.quist.function",
    .basicsize = sizeof(FunctionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = function_slots,
};

// Made once and kept for the life of the process, like the names.
PyTypeObject* g_function_type = nullptr;

}  // namespace

void ready_function_type() {
    if (g_function_type != nullptr) return;
    g_function_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&function_spec)).release());
}

Ref make_function(Func id, Body body, PyObject* defaults, PyObject* globals, PyObject* builtins,
                  PyObject* closure) {
    FunctionObject* f = PyObject_GC_New(FunctionObject, g_function_type);
    if (f == nullptr) fail();
    f->vectorcall = function_vectorcall;
    f->id = id;
    f->body = body;
    f->defaults = Py_XNewRef(defaults);
    f->globals = Py_XNewRef(globals);
    f->builtins = Py_XNewRef(builtins);
    f->closure = Py_XNewRef(closure);
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

Ref lookup_global(const FunctionObject* f, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(f->globals, name);
    if (value != nullptr) return Ref::new_ref(value);
    if (PyErr_Occurred()) fail();
    value = PyObject_GetAttr(f->builtins, name);
    if (value != nullptr) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
    PyErr_Clear();
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

}  // namespace quist
