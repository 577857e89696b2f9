#include "readback.hpp"

#include "session.hpp"
#include "wall.hpp"

namespace quist {

void verify_native(const FunctionObject* f, const ScopeRecord* scope, PyObject* tree,
                   PyObject* native, bool parse_in_dialect, PyObject* sql) {
    Ref back = Ref::steal(parse_sql(f, native, scope->dialect, parse_in_dialect));
    if (!back) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) fail();
        PyErr_Clear();
        refuse(names().str_msg_no_read_back, sql);
    }
    wall::check_native(scope->wall, tree, native, back.borrow());
}

}  // namespace quist
