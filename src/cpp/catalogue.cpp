#include "catalogue.hpp"

namespace quist {

Ref lowered(PyObject* s) {
    if (PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s)) {
        const Py_UCS1* text = PyUnicode_1BYTE_DATA(s);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
        Py_ssize_t i = 0;
        while (i < length && static_cast<unsigned>(text[i] - 'A') >= 26u) ++i;
        if (i == length) return Ref::new_ref(s);
    }
    return call_method0(s, names().str_lower);
}

Ref known_table_map(PyObject* database) {
    // Looked up once pellquist.models is imported (the module body imports
    // it) and kept for the life of the process.
    static Owned catalogue_class = nullptr;
    const Names& n = names();
    if (catalogue_class == nullptr) {
        Ref models = Ref::steal(PyImport_GetModule(n.str_models_fullname));
        if (!models) {
            if (PyErr_Occurred()) fail();
            return Ref();
        }
        catalogue_class = get_attr(models.borrow(), n.str_Catalogue).release();
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(database)) != catalogue_class) return Ref();
    return get_attr(database, n.str__by_name);
}

void unpack_error(Py_ssize_t got) {
    raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
}

}  // namespace quist
