#include "function.hpp"

#include "arguments.hpp"
#include "traceback.hpp"

#include <cstddef>
#include <exception>
#include <new>

namespace quist {
namespace {

constexpr int kMaxParams = 3;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    const FunctionInfo& fi = info(f->id);
    int line = fi.first_line;
    PyObject* bound[kMaxParams];
    if (Py_EnterRecursiveCall(" in a pellquist.quist function")) {
        add_traceback(fi.trace_name, line, f->globals);
        return nullptr;
    }
    PyObject* result = nullptr;
    try {
        bind_arguments(f->id, f->defaults, args, nargsf, kwnames, bound);
        result = f->body(f, bound, line).release();
    } catch (const PyErrOccurred&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    Py_LeaveRecursiveCall();
    if (result == nullptr) add_traceback(fi.trace_name, line, f->globals);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
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
    PyObject_GC_UnTrack(self);
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (f->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
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
PyObject* get_module(PyObject*, void*) { return Py_NewRef(names().module_fullname); }
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

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The remaining slots are filled in by ready_function_type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "pellquist.quist.function",  // tp_name
    sizeof(FunctionObject),      // tp_basicsize
};
#pragma GCC diagnostic pop

}  // namespace

void ready_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    require_status(PyType_Ready(&FunctionType));
}

Ref make_function(Func id, Body body, PyObject* defaults, PyObject* globals, PyObject* builtins,
                  PyObject* closure) {
    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
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
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) fail();
    value = PyObject_GetAttr(f->builtins, name);
    if (value != nullptr) return Ref::steal(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    fail();
}

}  // namespace quist
