#include "record.hpp"

#include <cstddef>
#include <cstring>

namespace quist {
namespace {

// Released records are kept for reuse: a call then costs no allocation for
// its record.
constexpr int kPoolSize = 8;
ScopeRecord* g_pool[kPoolSize];
int g_pool_count = 0;

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* r = reinterpret_cast<ScopeRecord*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->cte_names);
    Py_VISIT(r->dialect);
    Py_VISIT(r->self);
    Py_VISIT(r->tbl_map);
    Py_VISIT(r->wall);
    return 0;
}

// The GC breaks a cycle through the record by emptying its fields; a
// transformer still running over it then reads None, never freed memory.
void set_none(Owned& field) {
    PyObject* old = field;
    field = Py_NewRef(Py_None);
    Py_XDECREF(old);
}

int record_clear(PyObject* self) {
    auto* r = reinterpret_cast<ScopeRecord*>(self);
    set_none(r->cte_names);
    set_none(r->dialect);
    set_none(r->self);
    set_none(r->tbl_map);
    set_none(r->wall);
    return 0;
}

void record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* r = reinterpret_cast<ScopeRecord*>(self);
    Py_CLEAR(r->cte_names);
    Py_CLEAR(r->dialect);
    Py_CLEAR(r->self);
    Py_CLEAR(r->tbl_map);
    Py_CLEAR(r->wall);
    if (g_pool_count < kPoolSize) {
        g_pool[g_pool_count++] = r;
    } else {
        PyObject_GC_Del(self);
    }
    // A pooled record holds no reference to its type: PyObject_Init takes
    // a new one when it is handed out again.
    Py_DECREF(type);
}

PyType_Slot record_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(record_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(record_clear)},
    {0, nullptr},
};

// Records are made only by generateNativeSQL: no Py_tp_new, instantiation
// refused, no subclasses, no changes to the type.
PyType_Spec record_spec = {
    .name = "pellquist.quist.GenerateNativeSQLScope",
    .basicsize = sizeof(ScopeRecord),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = record_slots,
};

// Made once and kept for the life of the process, like the names.
PyTypeObject* g_record_type = nullptr;

}  // namespace

void ready_record_type() {
    if (g_record_type != nullptr) return;
    g_record_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&record_spec)).release());
}

Ref new_record() {
    ScopeRecord* r;
    if (g_pool_count > 0) {
        r = g_pool[--g_pool_count];
        std::memset(reinterpret_cast<char*>(r) + sizeof(PyObject), 0,
                    sizeof(ScopeRecord) - sizeof(PyObject));
        PyObject_Init(reinterpret_cast<PyObject*>(r), g_record_type);
    } else {
        r = PyObject_GC_New(ScopeRecord, g_record_type);
        if (r == nullptr) fail();
        r->cte_names = r->dialect = r->self = r->tbl_map = r->wall = nullptr;
    }
    PyObject_GC_Track(r);
    return Ref::steal(reinterpret_cast<PyObject*>(r));
}

const ScopeRecord* record_of(const FunctionObject* transformer) {
    PyObject* closure = transformer->closure;
    if (closure == nullptr || Py_TYPE(closure) != g_record_type)
        raise(PyExc_RuntimeError, "transformer called after its call ended");
    return reinterpret_cast<const ScopeRecord*>(closure);
}

}  // namespace quist
