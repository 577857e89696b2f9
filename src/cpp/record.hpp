// The record of one generateNativeSQL call: what its transformer reads.
//
// The transformer is a function object made per call over its record (its
// closure).  Records are GC objects, since a transformer kept past its call
// (in a cycle, or by a finalizer) keeps its record alive; released records
// go to a small pool and are reused by later calls.
#pragma once

#include "function.hpp"

namespace quist {

struct ScopeRecord {
    PyObject_HEAD
    // Each field is nullptr until the call sets it.
    Owned cte_names;  // set of the statement's CTE aliases, case as written
    Owned dialect;    // the dialect argument as received
    Owned self;       // the Session
    Owned tbl_map;    // lower-cased public name -> catalogue table (read only)
    Owned wall;       // the wall's Call for this rewrite (pellquist.wall)
};

// Makes the record type ready; idempotent.  Throws on failure.
void ready_record_type();

// A record with every field empty, tracked by the GC.
Ref new_record();

inline ScopeRecord* as_record(const Ref& record) {
    return reinterpret_cast<ScopeRecord*>(record.borrow());
}

// The record a transformer was made over.  A transformer whose record was
// cleared by the garbage collector (only possible once it is unreachable,
// e.g. from a finalizer) raises instead of reading freed fields.
const ScopeRecord* record_of(const FunctionObject* transformer);

}  // namespace quist
