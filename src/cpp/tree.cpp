// pellquist.wall._tree: the wall's walks of a sqlglot tree, in C.
//
// The wall judges every node of the trees of a call (the statement and the
// read-back), and almost every node passes at once: Python's cost per node
// (sqlglot's walk, attribute reads, the judgement's dispatch) would be most
// of the wall's.  The functions here walk a tree and hand the wall only the
// nodes its rules must see; each says which nodes it may leave out, and
// leaves out only nodes that the wall's rules would pass without a word.
//
// `nodes(tree, base)` lists the nodes in the order of `tree.walk()` (breadth
// first), with the children of a node as `iter_expressions()` gives them:
// each value of `node.args` in order, a list's items in order, whichever is
// an instance of `base`.
//
// `screen(tree, base, kinds, classify, names_matter, prefix, plain, passing)` is the statement
// walk's first pass (see screen_statement below); `same(written, read, base,
// identifier, func[, judged])` compares the read-back with the rewritten
// tree and picks the read-back's nodes to judge (see same_tree below).
#include "ref.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace quist {
namespace {

// The attributes the walks read from every node.
enum Field { ARGS, META, COMMENTS, TYPE, FIELD_COUNT };

// A node class whose attributes may be read through their descriptors.
struct KnownClass {
    PyTypeObject* type;
    unsigned int tag;  // the class's version tag when it was checked
};
constexpr size_t KNOWN_CLASSES = 256;

struct TreeState {
    Owned field_names[FIELD_COUNT];
    Owned str_quoted;
    Owned str_this;
    Owned str_is_string;
    Owned str_temporary;
    Owned str_global;
    Owned str_where;
    Owned str_alias;
    Owned str_parent;
    Owned str_arg_key;
    Owned str_with;
    Owned str_settings;
    Owned str_format;
    Owned str_from;
    Owned str_joins;
    Owned str_laterals;
    Owned positions;  // frozenset of the meta keys the parser sets for a token's place
    Owned position_names[4];  // the same keys, interned
    // The descriptor each field is read through: the one the first node
    // class met finds under the field's name; null until then.
    Owned descriptors[FIELD_COUNT];
    // A getset descriptor's own function and closure, taken once (null for
    // a member descriptor).
    getter getters[FIELD_COUNT];
    void* closures[FIELD_COUNT];
    KnownClass known[KNOWN_CLASSES];
};

TreeState* state_of(PyObject* module) { return static_cast<TreeState*>(PyModule_GetState(module)); }

// Whether a meta key (an exact str) is one of the parser's positions; the
// parser's keys are most often the interned strings themselves.
bool is_position(const TreeState* st, PyObject* key) {
    for (PyObject* name : st->position_names)
        if (key == name) return true;
    return require_status(PySet_Contains(st->positions, key)) == 1;
}

// Whether two exact str are equal: two interned ones only when they are one.
inline bool same_str(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (PyUnicode_CHECK_INTERNED(a) && PyUnicode_CHECK_INTERNED(b)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

bool is_this(const TreeState* st, PyObject* key) {
    return PyUnicode_CheckExact(key) && same_str(key, st->str_this);
}

bool is_where(const TreeState* st, PyObject* key) {
    return PyUnicode_CheckExact(key) && same_str(key, st->str_where);
}

// Reading a node's attributes.  PyObject_GetAttr finds each attribute by
// name, through the class's attribute cache, on every read, and the walks
// read four of every node.  A class whose attribute lookup is the generic
// one, and that finds under each name the descriptor the walks read through
// (sqlglot's node class defines them all), is recorded with its version
// tag; nodes of a recorded class are then read through the descriptor
// directly, as the generic lookup would read them.  Any change to the class
// or to one of its bases gives it a new tag (or none), so the record is
// checked again before the next read.
bool readable_descriptor(PyObject* d) {
    if (Py_IS_TYPE(d, &PyGetSetDescr_Type))
        return reinterpret_cast<PyGetSetDescrObject*>(d)->d_getset->get != nullptr;
    return Py_IS_TYPE(d, &PyMemberDescr_Type);
}

// A class's slot in a cache of `size` (a power of two) slots.  Classes lie
// in memory at strides that a plain shift and modulo would fold onto a few
// slots: the address is mixed (Fibonacci hashing) before its top bits are taken.
constexpr size_t class_slot(const PyTypeObject* type, size_t size) {
    const uint64_t mixed = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(type)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(mixed >> (64 - std::countr_zero(size)));
}

bool direct_class(TreeState* st, PyTypeObject* type) {
    KnownClass& slot = st->known[(reinterpret_cast<uintptr_t>(type) >> 6) % KNOWN_CLASSES];
    if (slot.type == type && slot.tag != 0 && slot.tag == type->tp_version_tag) return true;
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    for (int f = 0; f < FIELD_COUNT; ++f) {
        PyObject* found = _PyType_Lookup(type, st->field_names[f]);  // borrowed; never raises
        if (!found) return false;
        if (!st->descriptors[f]) {
            if (!readable_descriptor(found)) return false;
            st->descriptors[f] = Py_NewRef(found);
            if (Py_IS_TYPE(found, &PyGetSetDescr_Type)) {
                PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(found)->d_getset;
                st->getters[f] = def->get;
                st->closures[f] = def->closure;
            }
        }
        // The descriptor reads only instances of its own class.
        if (found != st->descriptors[f] || !PyType_IsSubtype(type, PyDescr_TYPE(found)))
            return false;
    }
    if (type->tp_version_tag == 0) return false;
    slot = {type, type->tp_version_tag};
    return true;
}

// One node, with whether its attributes may be read through the descriptors.
class Node {
public:
    Node(TreeState* st, PyObject* node) : Node(st, node, direct_class(st, Py_TYPE(node))) {}
    // `direct`: what direct_class says of the node's class.
    Node(TreeState* st, PyObject* node, bool direct) : st_(st), node_(node), direct_(direct) {}

    Ref get(Field f) const {
        if (!direct_) return get_attr(node_, st_->field_names[f]);
        if (getter read = st_->getters[f]) return require(read(node_, st_->closures[f]));
        return require(PyMember_GetOne(reinterpret_cast<const char*>(node_),
                                       reinterpret_cast<PyMemberDescrObject*>(st_->descriptors[f])->d_member));
    }

    // Sets the node's meta to None, through its descriptor when the class's
    // attribute assignment is the generic one (which would find the same
    // data descriptor first) and the descriptor can set.
    void clear_meta() const {
        if (direct_ && Py_TYPE(node_)->tp_setattro == PyObject_GenericSetAttr) {
            PyObject* d = st_->descriptors[META];
            if (Py_IS_TYPE(d, &PyGetSetDescr_Type)) {
                PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(d)->d_getset;
                if (def->set) {
                    require_status(def->set(node_, Py_None, def->closure));
                    return;
                }
            } else {
                require_status(PyMember_SetOne(reinterpret_cast<char*>(node_),
                                               reinterpret_cast<PyMemberDescrObject*>(d)->d_member, Py_None));
                return;
            }
        }
        require_status(PyObject_SetAttr(node_, st_->field_names[META], Py_None));
    }

    // The node's args, which must be a dict.
    Ref args() const {
        Ref args = get(ARGS);
        if (!PyDict_Check(args.borrow()))
            raise_format(PyExc_TypeError, "a node's args must be a dict, not %.100s",
                         Py_TYPE(args.borrow())->tp_name);
        return args;
    }

private:
    TreeState* st_;
    PyObject* node_;
    bool direct_;
};

// A dict's entries in order, as PyDict_Next hands them out, but without the
// last call, which scans the rest of the table to find nothing: the walks
// read a few small dicts of every node.  Only for a dict that does not
// change while it is read.
class Entries {
public:
    explicit Entries(PyObject* dict) : dict_(dict), left_(PyDict_GET_SIZE(dict)) {}

    bool next(PyObject** key, PyObject** value) {
        if (left_ == 0) return false;
        --left_;
        return PyDict_Next(dict_, &pos_, key, value);
    }

private:
    PyObject* dict_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t left_;
};

// Calls `visit(key, child)` for each child of a node, in the order of
// `iter_expressions()`: each value of `args` that is an instance of `base`,
// and each such item of a list value, under the key that holds it.
// Nothing here runs Python code, so `args` cannot change while it is read.
template <class Visit>
void each_child(PyObject* args, PyTypeObject* base, Visit visit) {
    PyObject* key;
    PyObject* value;
    Entries entries(args);
    while (entries.next(&key, &value)) {
        if (PyList_Check(value)) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(value); ++j) {
                PyObject* item = PyList_GET_ITEM(value, j);
                if (PyObject_TypeCheck(item, base)) visit(key, item);
            }
        } else if (PyObject_TypeCheck(value, base)) {
            visit(key, value);
        }
    }
}

PyTypeObject* node_base(PyObject* base) {
    if (!PyType_Check(base)) raise(PyExc_TypeError, "the node base class must be a class");
    return reinterpret_cast<PyTypeObject*>(base);
}

Ref list_nodes(PyObject* module, PyObject* tree, PyObject* base_arg) {
    PyTypeObject* base = node_base(base_arg);
    TreeState* st = state_of(module);
    Ref out = require(PyList_New(0));
    require_status(PyList_Append(out.borrow(), tree));
    // The list is the queue: it only grows while it is read, and it holds a
    // reference to every node, so the borrowed `node` stays valid.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out.borrow()); ++i) {
        if ((i + 1) % 4096 == 0 && PyErr_CheckSignals() < 0) fail();
        PyObject* node = PyList_GET_ITEM(out.borrow(), i);
        Ref args = Node(st, node).args();
        each_child(args.borrow(), base, [&](PyObject*, PyObject* child) {
            require_status(PyList_Append(out.borrow(), child));
        });
    }
    return out;
}

// The entries of a node's meta besides the parser's record of where the
// node stood (which nothing renders), or -1 when the meta is not a dict
// with str keys.
Py_ssize_t meta_entries(const TreeState* st, PyObject* meta) {
    if (meta == Py_None) return 0;
    if (!PyDict_CheckExact(meta)) return -1;
    Py_ssize_t count = 0;
    PyObject* key;
    PyObject* value;
    Entries entries(meta);
    while (entries.next(&key, &value)) {
        if (!PyUnicode_CheckExact(key)) return -1;  // a key of another kind: not plain
        if (!is_position(st, key)) ++count;
    }
    return count;
}

// ---- text the renderer writes outside quotes --------------------------------

// Whether `s` (any str) is ASCII text of the shape `match` accepts; the
// walks' patterns are ASCII, so other text never matches.
template <class Match>
bool ascii_match(PyObject* s, Match match) {
    if (!PyUnicode_IS_ASCII(s)) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(PyUnicode_DATA(s));
    return match(p, p + PyUnicode_GET_LENGTH(s));
}

bool is_alpha(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_hex(unsigned char c) { return is_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// A plain name: words of letters, digits, _ and $ (not starting with a digit
// or $), joined by dots.
bool plain_name(PyObject* s) {
    return ascii_match(s, [](const unsigned char* p, const unsigned char* end) {
        for (;;) {
            if (p == end || !is_alpha(*p)) return false;
            ++p;
            while (p != end && (is_alpha(*p) || is_digit(*p) || *p == '$')) ++p;
            if (p == end) return true;
            if (*p++ != '.') return false;
        }
    });
}

// A number as the renderer writes a numeric literal: digits with an
// optional point and exponent, or 0x and hex digits.
bool plain_number(PyObject* s) {
    return ascii_match(s, [](const unsigned char* p, const unsigned char* end) {
        if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            for (p += 2; p != end; ++p)
                if (!is_hex(*p)) return false;
            return true;
        }
        const unsigned char* start = p;
        while (p != end && is_digit(*p)) ++p;
        const bool whole = p != start;
        if (p != end && *p == '.') {
            ++p;
            const unsigned char* fraction = p;
            while (p != end && is_digit(*p)) ++p;
            if (!whole && p == fraction) return false;
        } else if (!whole) {
            return false;
        }
        if (p != end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p != end && (*p == '+' || *p == '-')) ++p;
            const unsigned char* exponent = p;
            while (p != end && is_digit(*p)) ++p;
            if (p == exponent) return false;
        }
        return p == end;
    });
}

bool has_nul(PyObject* s) {
    return PyUnicode_FindChar(s, 0, 0, PyUnicode_GET_LENGTH(s), 1) != -1;
}

bool has_comment_mark(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0) return true;
        if (i + 1 < n) {
            const Py_UCS4 next = PyUnicode_READ(kind, data, i + 1);
            if ((c == '*' && next == '/') || (c == '/' && next == '*')) return true;
        }
    }
    return false;
}

// Whether a node's comments are plain: none, or a list of str without a
// comment mark or a NUL.
bool plain_comments(PyObject* comments) {
    if (comments == Py_None) return true;
    if (!PyList_CheckExact(comments)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(comments); ++i) {
        PyObject* c = PyList_GET_ITEM(comments, i);
        if (!PyUnicode_CheckExact(c) || has_comment_mark(c)) return false;
    }
    return true;
}

// ---- the statement walk's screen ---------------------------------------------

// What the wall's statement walk asks of a node, by its class: flags the
// wall computes once per class (`classify`).  The screen knows these four;
// a node with any other flag is the wall's to judge.  The module exports
// them under these names.
constexpr long KIND_IDENTIFIER = 1 << 0;
constexpr long KIND_QUOTED = 1 << 1;        // text written inside quotes
constexpr long KIND_LITERAL = 1 << 2;       // a literal: a string, or a number outside quotes
constexpr long KIND_ROW_POSITION = 1 << 3;  // its `this` is a row source
constexpr long KIND_SCREENED = KIND_IDENTIFIER | KIND_QUOTED | KIND_LITERAL | KIND_ROW_POSITION;

// Why the screen hands a node to the wall, one byte per node; the module
// exports them under these names.
constexpr char JUDGE_KIND = 1;        // a flag the screen does not know
constexpr char JUDGE_ROW_SOURCE = 2;  // it stands in a row position
constexpr char JUDGE_TEXT = 4;        // its text, comments or identifier marks
// A table the statement check's rules pass when the statement has no CTE
// (see PlainTable); with JUDGE_KIND and JUDGE_ROW_SOURCE.
constexpr char JUDGE_PLAIN_TABLE = 8;

long kind_flags(PyObject* kinds, PyObject* classify, PyTypeObject* type) {
    PyObject* key = reinterpret_cast<PyObject*>(type);
    Ref flags = Ref::new_ref(PyDict_GetItemWithError(kinds, key));
    if (!flags) {
        if (PyErr_Occurred()) fail();
        flags = call1(classify, key);
    }
    const long value = PyLong_AsLong(flags.borrow());
    if (value == -1 && PyErr_Occurred()) fail();
    return value;
}

// What a walk knows of each class it meets, found once per class and call
// (the classes of a tree are few, and finding a value costs a dict lookup or
// walks of the class's bases): a small table by open addressing, the slots
// after a class's own up to an empty one.  Each entry holds its class, so
// that no other can take its address.  Half the slots stay empty, so that a
// search ends soon; a tree of more classes finds the value of the rest each
// time.
template <class Value>
class ClassTable {
public:
    ClassTable() = default;
    ClassTable(const ClassTable&) = delete;
    ClassTable& operator=(const ClassTable&) = delete;
    ~ClassTable() {
        for (Entry& e : entries_) Py_XDECREF(reinterpret_cast<PyObject*>(e.type));
    }

    // `find(type)` may run Python code: the table does not move.
    template <class Find>
    Value of(PyTypeObject* type, Find find) {
        for (size_t i = class_slot(type, SIZE);; i = (i + 1) % SIZE) {
            Entry& e = entries_[i];
            if (e.type == type) return e.value;
            if (e.type) continue;
            const Value value = find(type);
            if (used_ < SIZE / 2) {
                e = {reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type))), value};
                ++used_;
            }
            return value;
        }
    }

private:
    static constexpr size_t SIZE = 128;
    struct Entry {
        PyTypeObject* type;  // owned
        Value value;
    };
    size_t used_ = 0;
    Entry entries_[SIZE] = {};
};

// What the screen reads of a node's args, in one pass: whether every key is
// an exact str, whether its text is plain, and the values under the keys
// its rules name (read only when every key is an exact str: the values are
// then those a lookup would find).  Its children go to `visit(key, child)`
// on the way, in the order of each_child.
struct ArgsRead {
    bool str_keys = true;
    bool plain = true;  // no str subclass, no NUL; outside quotes, plain names
    PyObject* this_ = nullptr;
    PyObject* is_string = nullptr;
    PyObject* temporary = nullptr;
    PyObject* global = nullptr;
};

template <class Visit>
ArgsRead read_args(PyObject* args, long flags, PyTypeObject* base, const TreeState* st, Visit visit) {
    ArgsRead read;
    PyObject* key;
    PyObject* value;
    Entries entries(args);
    while (entries.next(&key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            read.str_keys = false;
        } else if (same_str(key, st->str_this)) {
            read.this_ = value;
        } else if (same_str(key, st->str_is_string)) {
            read.is_string = value;
        } else if (same_str(key, st->str_temporary)) {
            read.temporary = value;
        } else if (same_str(key, st->str_global)) {
            read.global = value;
        }
        if (PyUnicode_Check(value)) {
            if (!PyUnicode_CheckExact(value) || has_nul(value) ||
                (!(flags & (KIND_QUOTED | KIND_LITERAL)) && !plain_name(value)))
                read.plain = false;
        } else if (PyList_Check(value)) {
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(value); ++j) {
                PyObject* item = PyList_GET_ITEM(value, j);
                if (PyObject_TypeCheck(item, base)) visit(key, item);
            }
        } else if (PyObject_TypeCheck(value, base)) {
            visit(key, value);
        }
    }
    return read;
}

// Whether a node's text is plain (see ArgsRead); a literal's text is a
// string, or a number.
bool plain_text(const ArgsRead& read, long flags) {
    if (!read.str_keys || !read.plain) return false;
    if ((flags & KIND_LITERAL) && !(flags & KIND_QUOTED)) {
        if (read.is_string == Py_True) return true;
        if (read.is_string && read.is_string != Py_False && read.is_string != Py_None) return false;
        return read.this_ && PyUnicode_CheckExact(read.this_) && plain_number(read.this_);
    }
    return true;
}

// An identifier the screen may take on its own: its text a str, and no mark
// of a temporary table.
PyObject* plain_identifier_text(const ArgsRead& read) {
    if (!read.str_keys) return nullptr;
    for (PyObject* set : {read.temporary, read.global})
        if (set && set != Py_None && set != Py_False) return nullptr;
    return read.this_ && PyUnicode_CheckExact(read.this_) ? read.this_ : nullptr;
}

// Whether Python would find `o` true without running code of its class:
// a class with no truth or length of its own makes every instance true.
bool surely_true(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return !(t->tp_as_number && t->tp_as_number->nb_bool) &&
           !(t->tp_as_mapping && t->tp_as_mapping->mp_length) &&
           !(t->tp_as_sequence && t->tp_as_sequence->sq_length);
}

bool exact_str_keys(PyObject* dict) {
    PyObject* key;
    PyObject* value;
    Entries entries(dict);
    while (entries.next(&key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// Whether an argument holds something, as the wall's rules ask it: not
// None, False, [] or "".  A value of any other kind holds something.
bool is_set(PyObject* v) {
    return !(v == Py_None || v == Py_False || (PyList_CheckExact(v) && PyList_GET_SIZE(v) == 0) ||
             (PyUnicode_CheckExact(v) && PyUnicode_GET_LENGTH(v) == 0));
}

// The shape of a table reference that the statement check passes when no
// CTE could bind it: in a row position, of a class whose one flag beyond
// the screen's is the table's, named by an identifier, with no part but
// `parts`, and with no alias or an alias of `alias_parts` only.
struct PlainTable {
    PyTypeObject* table = nullptr;  // null: no table is plain
    long flag = 0;
    PyTypeObject* identifier = nullptr;
    PyTypeObject* alias = nullptr;
    PyObject* parts = nullptr;        // set of str
    PyObject* alias_parts = nullptr;  // set of str

    // Whether every set entry of `args` (a dict with exact str keys that
    // nothing changes while it is read) is under one of `keys`.
    static bool only(PyObject* args, PyObject* keys) {
        PyObject* key;
        PyObject* value;
        Entries entries(args);
        while (entries.next(&key, &value))
            if (is_set(value) && require_status(PySet_Contains(keys, key)) != 1) return false;
        return true;
    }

    bool holds(TreeState* st, PyObject* node, PyTypeObject* kind, long flags, PyObject* args,
               const ArgsRead& read) const {
        if (!table || !read.str_keys || Py_TYPE(node) != kind || !PyDict_CheckExact(args) ||
            (flags & ~KIND_SCREENED) != flag || !PyType_IsSubtype(kind, table))
            return false;
        if (!read.this_ || !PyObject_TypeCheck(read.this_, identifier) || !only(args, parts))
            return false;
        PyObject* found = PyDict_GetItemWithError(args, st->str_alias);  // str keys: no Python code
        if (!found) {
            if (PyErr_Occurred()) fail();
            return true;
        }
        if (found == Py_None) return true;
        // The alias is read directly or not at all: a lookup by name could
        // run Python code.
        if (!PyObject_TypeCheck(found, alias) || !direct_class(st, Py_TYPE(found))) return false;
        Ref alias_args = Node(st, found, true).get(ARGS);
        return PyDict_CheckExact(alias_args.borrow()) && exact_str_keys(alias_args.borrow()) &&
               only(alias_args.borrow(), alias_parts);
    }
};

// The kinds whose own rules the screen can tell pass a node, so that the
// node is not judged for its kind:
// - a type (of `type_flag` only) that is no object identifier and whose
//   `this` is a member of sqlglot's type enum other than those in
//   `judged_types` (the user-defined, and the aggregate states, which name
//   a function);
// - a query (`query_flag`, perhaps with `select_flag`, and no other) with
//   no settings and no format, and, for a select, a FROM or no joins nor
//   laterals.
struct PassingKinds {
    long type_flag = 0;  // 0: no kind passes
    PyTypeObject* object_identifier = nullptr;
    PyObject* judged_types = nullptr;  // a non-empty tuple of the enum's members
    long select_flag = 0;
    long query_flag = 0;

    // `args` has exact str keys: a lookup runs no Python code.
    static PyObject* value(PyObject* args, PyObject* key) {
        PyObject* v = PyDict_GetItemWithError(args, key);
        if (!v && PyErr_Occurred()) fail();
        return v;
    }
    static bool set(PyObject* args, PyObject* key) {
        PyObject* v = value(args, key);
        return v && is_set(v);
    }

    bool holds(const TreeState* st, PyObject* node, PyTypeObject* kind, long flags, PyObject* args,
               const ArgsRead& read, PyTypeObject* base) const {
        // A dict of another class could answer a lookup otherwise than the rules' own get().
        if (!type_flag || !read.str_keys || Py_TYPE(node) != kind || !PyDict_CheckExact(args)) return false;
        const long own = flags & ~KIND_SCREENED;
        if (own == type_flag) {
            if (PyType_IsSubtype(kind, object_identifier) || !read.this_ ||
                Py_TYPE(read.this_) != Py_TYPE(PyTuple_GET_ITEM(judged_types, 0)))
                return false;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(judged_types); ++i)
                if (read.this_ == PyTuple_GET_ITEM(judged_types, i)) return false;
            return true;
        }
        if (!(own & query_flag) || (own & ~(query_flag | select_flag))) return false;
        if (set(args, st->str_settings) || set(args, st->str_format)) return false;
        if (own & select_flag) {
            PyObject* from = value(args, st->str_from);
            const bool has_from = from && PyObject_TypeCheck(from, base) && surely_true(from);
            if (!has_from && (set(args, st->str_joins) || set(args, st->str_laterals))) return false;
        }
        return true;
    }
};

// Whether `text` (an exact str), lower-cased as str.lower() would, may begin
// with `prefix` (ASCII, lower-case): ASCII text whose lower case does, and
// any other text, which lower-cases by Unicode's rules (some letters become
// ASCII ones).
bool may_begin_with(PyObject* text, PyObject* prefix) {
    if (!PyUnicode_IS_ASCII(text)) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(prefix);
    if (PyUnicode_GET_LENGTH(text) < n) return false;
    const auto* a = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    const auto* b = static_cast<const unsigned char*>(PyUnicode_DATA(prefix));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const unsigned char c = a[i] >= 'A' && a[i] <= 'Z' ? a[i] - 'A' + 'a' : a[i];
        if (c != b[i]) return false;
    }
    return true;
}

// Walks the statement in the order of `tree.walk()`, drops each node's meta
// when it holds only the parser's positions (nothing reads them after the
// parse, and each copy of the tree would copy them), and returns the nodes
// the wall must judge, why (a bytes object, one JUDGE_* byte per node), the
// text of every other identifier that may begin with `prefix` once
// lower-cased (see may_begin_with), and the kind flags of all its nodes
// together: `(judged, reasons, names, flags)`.  A node is left out only
// when it has none of the flags the screen does not know, stands in no row
// position, has plain text and comments, and is no identifier of a
// temporary table (nor any identifier, when `names_matter`: the dialect
// has names the wall refuses).
Ref screen_statement(PyObject* module, PyObject* tree, PyObject* base_arg, PyObject* kinds,
                     PyObject* classify, bool names_matter, PyObject* prefix,
                     const PlainTable& plain, const PassingKinds& passing) {
    PyTypeObject* base = node_base(base_arg);
    if (!PyDict_CheckExact(kinds)) raise(PyExc_TypeError, "screen() needs a dict of kinds");
    if (!PyUnicode_CheckExact(prefix) || !PyUnicode_IS_ASCII(prefix))
        raise(PyExc_TypeError, "screen() needs an ASCII str prefix");
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(prefix); ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(prefix, i);
        if (c >= 'A' && c <= 'Z') raise(PyExc_ValueError, "screen() needs a lower-case prefix");
    }
    long seen = 0;
    // A lookup in the kinds dict costs more than the rest of a plain node's screening.
    ClassTable<long> kind_table;
    TreeState* st = state_of(module);
    Ref queue = require(PyList_New(0));
    std::vector<bool> in_row_position{false};
    require_status(PyList_Append(queue.borrow(), tree));
    Ref judged = require(PyList_New(0));
    std::string reasons;  // one per judged node: JUDGE_* bits
    Ref names = require(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(queue.borrow()); ++i) {
        // A tree that holds itself would never end: let Ctrl-C stop it.
        if ((i + 1) % 4096 == 0 && PyErr_CheckSignals() < 0) fail();
        PyObject* node = PyList_GET_ITEM(queue.borrow(), i);  // the queue holds it
        PyTypeObject* kind = Py_TYPE(node);
        // Dropping the meta and classifying may run Python code (a class's
        // own __setattr__, classify itself), which could change the class:
        // the node is read only after both.
        {
            const Node reader(st, node);
            Ref meta = reader.get(META);
            if (PyDict_CheckExact(meta.borrow()) && meta_entries(st, meta.borrow()) == 0)
                reader.clear_meta();
        }
        const long flags =
            kind_table.of(kind, [&](PyTypeObject* type) { return kind_flags(kinds, classify, type); });
        seen |= flags;
        const Node reader(st, node);
        Ref args = reader.args();
        Ref comments = reader.get(COMMENTS);
        // Nothing below runs Python code, so the dict cannot change while it
        // is read, and its values stay valid.
        const ArgsRead read = read_args(args.borrow(), flags, base, st, [&](PyObject* key, PyObject* child) {
            require_status(PyList_Append(queue.borrow(), child));
            // The row source of a FROM, JOIN or LATERAL is its `this`, or
            // any item of it (as sqlglot's own `arg_key` would say).
            in_row_position.push_back((flags & KIND_ROW_POSITION) && is_this(st, key));
        });
        char why = 0;
        if (((flags & ~KIND_SCREENED) || Py_TYPE(node) != kind) &&
            !passing.holds(st, node, kind, flags, args.borrow(), read, base))
            why |= JUDGE_KIND;
        if (in_row_position[i]) {
            why |= JUDGE_ROW_SOURCE;
            if (plain.holds(st, node, kind, flags, args.borrow(), read)) why |= JUDGE_PLAIN_TABLE;
        }
        if (!plain_comments(comments.borrow()) || !plain_text(read, flags)) why |= JUDGE_TEXT;
        if (flags & KIND_IDENTIFIER) {
            PyObject* text = names_matter ? nullptr : plain_identifier_text(read);
            if (!text)
                why |= JUDGE_TEXT;
            else if (may_begin_with(text, prefix))
                require_status(PyList_Append(names.borrow(), text));
        }
        if (why) {
            require_status(PyList_Append(judged.borrow(), node));
            reasons.push_back(why);
        }
    }
    Ref why = require(PyBytes_FromStringAndSize(reasons.data(), static_cast<Py_ssize_t>(reasons.size())));
    Ref all_flags = require(PyLong_FromLong(seen));
    return require(PyTuple_Pack(4, judged.borrow(), why.borrow(), names.borrow(), all_flags.borrow()));
}

// ---- the node-for-node comparison ---------------------------------------------

// Values a node holds besides nodes: compared by value only when of these
// exact types, whose comparison runs no Python code.
bool plain_value(PyObject* v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyBool_Check(v) || PyLong_CheckExact(v) ||
           PyFloat_CheckExact(v);
}

// One object is the same value whatever its kind (an enum member, say).
bool same_value(PyObject* x, PyObject* y) {
    if (x == y) return true;
    if (PyUnicode_CheckExact(x)) return PyUnicode_CheckExact(y) && same_str(x, y);
    if (!plain_value(x) || Py_TYPE(x) != Py_TYPE(y)) return false;
    return require_status(PyObject_RichCompareBool(x, y, Py_EQ)) == 1;
}

// Comments of a node: none and an empty list render alike; otherwise the
// same strings in the same order.
bool same_comments(PyObject* x, PyObject* y) {
    const bool x_none = x == Py_None || (PyList_CheckExact(x) && PyList_GET_SIZE(x) == 0);
    const bool y_none = y == Py_None || (PyList_CheckExact(y) && PyList_GET_SIZE(y) == 0);
    if (x_none || y_none) return x_none && y_none;
    if (!PyList_CheckExact(x) || !PyList_CheckExact(y) || PyList_GET_SIZE(x) != PyList_GET_SIZE(y))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x); ++i) {
        PyObject* a = PyList_GET_ITEM(x, i);
        if (!PyUnicode_CheckExact(a) || !same_value(a, PyList_GET_ITEM(y, i))) return false;
    }
    return true;
}

// Meta the renderer may read (a function's name as written, say): the same
// entries with the same values.
bool same_meta(const TreeState* st, PyObject* x, PyObject* y) {
    const Py_ssize_t count = meta_entries(st, x);
    if (count < 0 || count != meta_entries(st, y)) return false;
    if (count == 0) return true;
    PyObject* key;
    PyObject* value;
    Entries entries(x);
    while (entries.next(&key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (is_position(st, key)) continue;
        PyObject* other = PyDict_GetItemWithError(y, key);
        if (!other) {
            if (PyErr_Occurred()) fail();
            return false;
        }
        if (!same_value(value, other)) return false;
    }
    return true;
}

// The next entry that is set (not None): 1, and the entry; 0 at the end;
// -1 when a key is not exactly a str: a key of another kind could run
// Python code in a lookup, and change a dict while a value borrowed from it
// is in use.  The entry under `skip` (when not null) is never handed out:
// its value, None included, goes to `skipped`.
int next_set(Entries& entries, PyObject** key, PyObject** value, PyObject* skip, PyObject** skipped) {
    while (entries.next(key, value)) {
        if (!PyUnicode_CheckExact(*key)) return -1;
        if (skip && same_str(*key, skip)) {
            *skipped = *value;
            continue;
        }
        if (*value != Py_None) return 1;
    }
    return 0;
}

// How many entries of `args` are set, without `skip`; -1 as for next_set.
Py_ssize_t set_entries(PyObject* args, PyObject* skip, PyObject** skipped) {
    Py_ssize_t count = 0;
    PyObject* key;
    PyObject* value;
    Entries entries(args);
    int found;
    while ((found = next_set(entries, &key, &value, skip, skipped)) > 0) ++count;
    return found < 0 ? -1 : count;
}

// What the read-back's judge must see, gathered while the trees are
// compared: every node of a class not known to be cleared (not blocked),
// every table, and every node in a row position; with each, one byte of
// PICK_* marks that tell the judge where it stands.
struct Judged {
    // The classes known not to be blocked, in the order of their addresses
    // (Python's id()); a tuple, so that nothing changes it during the call.
    PyObject* cleared;
    PyTypeObject* table;
    PyTypeObject* positions[3];  // the classes whose `this` is a row source
    PyTypeObject* select;
    std::vector<PyTypeObject*> readable;  // row sources read as they are
    PyTypeObject* from;
    PyTypeObject* subquery;
    Ref nodes;
    std::string marks;
};

// The marks of a picked node; the module exports them under these names.
constexpr char PICK_ROW_SOURCE = 1;  // it stands in a row position
constexpr char PICK_IN_WHERE = 2;    // it lies in the WHERE of a select (at any depth)
constexpr char PICK_UNCLEARED = 4;   // its class is not known to be cleared
// A table that stands where a replacement subquery reads its internal
// table (see in_built_from).
constexpr char PICK_BUILT_SHAPE = 8;

bool is_instance(PyObject* o, PyTypeObject* kind) {
    return require_status(PyObject_IsInstance(o, reinterpret_cast<PyObject*>(kind))) == 1;
}

// Whether `o.<name> == value`, as Python would say it.
bool attribute_is(PyObject* o, PyObject* name, PyObject* value) {
    Ref found = get_attr(o, name);
    return require_status(PyObject_RichCompareBool(found.borrow(), value, Py_EQ)) == 1;
}

// Whether `table` stands in the FROM of a select with no joins, laterals or
// WITH, which is the `this` of a subquery in a row position: where a
// replacement subquery reads its internal table.  Asked through the same
// attributes and tests as the wall's own Python question (parent, arg_key,
// args, isinstance, truth), once the comparison is done: they may run code.
bool in_built_from(const TreeState* st, PyObject* table, const Judged& judged) {
    Ref position = get_attr(table, st->str_parent);
    if (!is_instance(position.borrow(), judged.from)) return false;
    Ref select = get_attr(position.borrow(), st->str_parent);
    if (!is_instance(select.borrow(), judged.select) ||
        !attribute_is(position.borrow(), st->str_arg_key, st->str_from))
        return false;
    Ref args = get_attr(select.borrow(), st->field_names[ARGS]);
    if (!PyDict_CheckExact(args.borrow())) return false;
    for (PyObject* key : {st->str_joins, st->str_laterals, st->str_with}) {
        Ref value = Ref::new_ref(PyDict_GetItemWithError(args.borrow(), key));
        if (!value) {
            if (PyErr_Occurred()) fail();
            continue;
        }
        if (require_status(PyObject_IsTrue(value.borrow()))) return false;
    }
    Ref subquery = get_attr(select.borrow(), st->str_parent);
    if (!is_instance(subquery.borrow(), judged.subquery) ||
        !attribute_is(select.borrow(), st->str_arg_key, st->str_this) ||
        !attribute_is(subquery.borrow(), st->str_arg_key, st->str_this))
        return false;
    Ref holder = get_attr(subquery.borrow(), st->str_parent);
    for (PyTypeObject* kind : judged.positions)
        if (is_instance(holder.borrow(), kind)) return true;
    return false;
}

// What the comparison asks of a node class, found once per class and call:
// the classes of a tree are few, and each test walks the class's bases.
class ClassFacts {
public:
    static constexpr unsigned NODE = 1;                  // an instance of the node base
    static constexpr unsigned TABLE = 2;                 // a table (judged)
    static constexpr unsigned ROW_POSITION_PARENT = 4;   // its `this` is a row source (judged)
    static constexpr unsigned PASSES = 8;                // cleared: not blocked
    static constexpr unsigned FUNC = 16;                 // a function call
    static constexpr unsigned SELECT = 32;               // a select (its WHERE is marked)
    static constexpr unsigned READABLE = 64;             // a row source read as it is

    ClassFacts(PyTypeObject* base, PyTypeObject* func, const Judged* judged)
        : base_(base), func_(func), judged_(judged) {}
    ClassFacts(const ClassFacts&) = delete;
    ClassFacts& operator=(const ClassFacts&) = delete;

    unsigned of(PyTypeObject* type) {
        return table_.of(type, [this](PyTypeObject* t) { return find(t); });
    }

private:
    unsigned find(PyTypeObject* type) const {
        unsigned facts = PyType_IsSubtype(type, base_) ? NODE : 0;
        if (PyType_IsSubtype(type, func_)) facts |= FUNC;
        if (!judged_) return facts;
        if (PyType_IsSubtype(type, judged_->table)) facts |= TABLE;
        if (PyType_IsSubtype(type, judged_->select)) facts |= SELECT;
        for (PyTypeObject* kind : judged_->readable)
            if (PyType_IsSubtype(type, kind)) facts |= READABLE;
        for (PyTypeObject* kind : judged_->positions)
            if (PyType_IsSubtype(type, kind)) facts |= ROW_POSITION_PARENT;
        if (cleared(reinterpret_cast<PyObject*>(type))) facts |= PASSES;
        return facts;
    }

    // Whether `type` is one of the cleared classes: found by its address
    // alone, so no Python code runs.  An item out of order can only hide a
    // class (which is then judged), never clear another.
    bool cleared(PyObject* type) const {
        PyObject* items = judged_->cleared;
        const auto key = reinterpret_cast<uintptr_t>(type);
        Py_ssize_t low = 0, high = PyTuple_GET_SIZE(items);
        while (low < high) {
            const Py_ssize_t mid = low + (high - low) / 2;
            const auto item = reinterpret_cast<uintptr_t>(PyTuple_GET_ITEM(items, mid));
            if (item == key) return true;
            if (item < key)
                low = mid + 1;
            else
                high = mid;
        }
        return false;
    }

    PyTypeObject* base_;
    PyTypeObject* func_;
    const Judged* judged_;
    ClassTable<unsigned> table_;
};

struct Pair {
    Ref written;
    Ref read;
    bool in_row_position;  // the read node stands in a row position
    bool in_call;          // the nodes are a function call's own arguments
    bool in_where;         // the nodes lie in the WHERE of a select
};

// Whether `read` (the parse of the native SQL) is `written` (the tree it
// was rendered from), so that the engine runs the very tree the wall
// checked.  Compared: each node's class, its comments, its meta but for
// positions, its set arguments (an argument of None is one not set), nodes
// and lists of nodes in order, and plain values (text, numbers, flags)
// exactly.  Anything else the two hold (a type, a value of another kind that
// is not the same object) makes them differ: the wall then falls back to
// rendering the read-back.
// One difference is allowed: the native SQL quotes every identifier the
// renderer may quote, so a written plain name (an identifier with nothing
// set but its text) without quotes matches a read one with quotes, except
// as the direct argument of a function, where the renderer leaves it bare
// (the function being the node it is found under).
// With `judged`, each node of `read` goes by it on the way.
bool same_tree(PyObject* module, PyObject* written, PyObject* read, PyTypeObject* base,
               PyTypeObject* identifier, PyTypeObject* func, Judged* judged) {
    TreeState* st = state_of(module);
    if (!PyObject_TypeCheck(written, base) || !PyObject_TypeCheck(read, base)) return false;
    ClassFacts classes(base, func, judged);
    std::vector<Pair> stack;
    stack.push_back({Ref::new_ref(written), Ref::new_ref(read), false, false, false});
    size_t visited = 0;
    while (!stack.empty()) {
        Pair pair = std::move(stack.back());
        stack.pop_back();
        PyObject* x = pair.written.borrow();
        PyObject* y = pair.read.borrow();
        if (Py_TYPE(x) != Py_TYPE(y)) return false;
        const unsigned facts = classes.of(Py_TYPE(y));
        // A row source of a class read as it is, and not blocked, passes
        // every rule of the judge: it is left out.
        const bool judged_source = pair.in_row_position &&
            (facts & (ClassFacts::READABLE | ClassFacts::PASSES | ClassFacts::TABLE)) !=
                (ClassFacts::READABLE | ClassFacts::PASSES);
        if (judged && (judged_source || (facts & ClassFacts::TABLE) || !(facts & ClassFacts::PASSES))) {
            require_status(PyList_Append(judged->nodes.borrow(), y));
            judged->marks.push_back(static_cast<char>((pair.in_row_position ? PICK_ROW_SOURCE : 0) |
                                                      (pair.in_where ? PICK_IN_WHERE : 0) |
                                                      (facts & ClassFacts::PASSES ? 0 : PICK_UNCLEARED)));
        }
        const bool y_select = facts & ClassFacts::SELECT;
        const bool y_row_position_parent = facts & ClassFacts::ROW_POSITION_PARENT;
        // The classes are the same: what holds of y's holds of x's.
        const bool call = facts & ClassFacts::FUNC;
        // The classes are one: so is the way their nodes are read.
        const bool direct = direct_class(st, Py_TYPE(x));
        const Node xn(st, x, direct), yn(st, y, direct);
        if (xn.get(TYPE).borrow() != Py_None || yn.get(TYPE).borrow() != Py_None) return false;
        if (!same_meta(st, xn.get(META).borrow(), yn.get(META).borrow())) return false;
        if (!same_comments(xn.get(COMMENTS).borrow(), yn.get(COMMENTS).borrow())) return false;
        Ref x_args = xn.get(ARGS);
        Ref y_args = yn.get(ARGS);
        if (!PyDict_CheckExact(x_args.borrow()) || !PyDict_CheckExact(y_args.borrow()))
            return false;
        // A tree that holds itself would never end: let Ctrl-C stop it.
        if (++visited % 4096 == 0 && PyErr_CheckSignals() < 0) fail();
        PyObject* skip = Py_TYPE(x) == identifier ? st->str_quoted : nullptr;
        // An identifier's `quoted`, set or not (null: absent), read on the way.
        PyObject* x_quoted = nullptr;
        PyObject* y_quoted = nullptr;
        // A value of x against the value of y under the same key: nodes and
        // lists of nodes are compared in turn, other values here.
        auto same_argument = [&](PyObject* key, PyObject* value, PyObject* other) {
            if (PyList_CheckExact(value)) {
                if (!PyList_CheckExact(other) || PyList_GET_SIZE(value) != PyList_GET_SIZE(other))
                    return false;
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                    PyObject* v = PyList_GET_ITEM(value, i);
                    PyObject* w = PyList_GET_ITEM(other, i);
                    if (classes.of(Py_TYPE(v)) & ClassFacts::NODE) {
                        if (Py_TYPE(w) != Py_TYPE(v)) return false;
                        stack.push_back({Ref::new_ref(v), Ref::new_ref(w),
                                         y_row_position_parent && is_this(st, key), call,
                                         pair.in_where || (y_select && is_where(st, key))});
                    } else if (!same_value(v, w)) {
                        return false;
                    }
                }
                return true;
            }
            if (classes.of(Py_TYPE(value)) & ClassFacts::NODE) {
                if (Py_TYPE(other) != Py_TYPE(value)) return false;
                stack.push_back({Ref::new_ref(value), Ref::new_ref(other),
                                 y_row_position_parent && is_this(st, key), call,
                                 pair.in_where || (y_select && is_where(st, key))});
                return true;
            }
            return same_value(value, other);
        };
        // Most often both dicts hold their set arguments under the same key
        // objects in the same order: one pass over both compares them.  No
        // lookup is made, so every key is vetted (an exact str) on the way.
        const size_t pushed = stack.size();
        Py_ssize_t set = 0;
        bool in_step = true;
        {
            Entries x_entries(x_args.borrow()), y_entries(y_args.borrow());
            for (;;) {
                PyObject *kx, *vx, *ky, *vy;
                const int has_x = next_set(x_entries, &kx, &vx, skip, &x_quoted);
                const int has_y = next_set(y_entries, &ky, &vy, skip, &y_quoted);
                if (has_x < 0 || has_y < 0) return false;  // a key that is not a str
                if (!has_x || !has_y) {
                    if (has_x || has_y) return false;  // more set arguments on one side
                    break;
                }
                if (kx != ky) {
                    in_step = false;
                    break;
                }
                ++set;
                if (!same_argument(kx, vx, vy)) return false;
            }
        }
        if (!in_step) {
            // Another order: y's keys are vetted and its set arguments
            // counted before any lookup in it; x's are vetted, and counted,
            // as each is looked up.
            stack.resize(pushed);
            x_quoted = y_quoted = nullptr;
            set = set_entries(y_args.borrow(), skip, &y_quoted);
            if (set < 0) return false;
            Py_ssize_t x_set = 0;
            PyObject* key;
            PyObject* value;
            Entries x_entries(x_args.borrow());
            int found;
            while ((found = next_set(x_entries, &key, &value, skip, &x_quoted)) > 0) {
                ++x_set;
                PyObject* other = PyDict_GetItemWithError(y_args.borrow(), key);
                if (!other) {
                    if (PyErr_Occurred()) fail();
                    return false;
                }
                if (!same_argument(key, value, other)) return false;
            }
            if (found < 0 || x_set != set) return false;
        }
        if (skip) {
            // Absent, None and False are alike: not quoted.
            if ((x_quoted && x_quoted != Py_None && !PyBool_Check(x_quoted)) ||
                (y_quoted && y_quoted != Py_None && !PyBool_Check(y_quoted)))
                return false;
            const bool x_is_quoted = x_quoted == Py_True, y_is_quoted = y_quoted == Py_True;
            if (x_is_quoted != y_is_quoted) {
                if (x_is_quoted) return false;
                // Only a plain name: the renderer writes other marks (T-SQL's
                // # and ## prefixes) differently with quotes and without.
                if (set != 1 || pair.in_call) return false;
            }
        }
    }
    return true;
}

PyObject* same(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* result = nullptr;
    at_boundary([&] {
        if (nargs != 5 && nargs != 6)
            raise_format(PyExc_TypeError, "same() takes 5 or 6 arguments (%zd given)", nargs);
        if (!PyType_Check(args[3]) || !PyType_Check(args[4]))
            raise(PyExc_TypeError, "same() needs the identifier and function classes");
        PyTypeObject* base = node_base(args[2]);
        auto* identifier = reinterpret_cast<PyTypeObject*>(args[3]);
        auto* func = reinterpret_cast<PyTypeObject*>(args[4]);
        if (nargs == 5) {
            result = Py_NewRef(same_tree(module, args[0], args[1], base, identifier, func, nullptr)
                                   ? Py_True : Py_False);
            return;
        }
        // judged = (cleared, table, (from, join, lateral), select, readable, from, subquery)
        PyObject* spec = args[5];
        PyObject* positions = PyTuple_Check(spec) && PyTuple_GET_SIZE(spec) == 7 ? PyTuple_GET_ITEM(spec, 2) : nullptr;
        PyObject* readable = positions ? PyTuple_GET_ITEM(spec, 4) : nullptr;
        if (!positions || !PyTuple_CheckExact(PyTuple_GET_ITEM(spec, 0)) ||
            !PyType_Check(PyTuple_GET_ITEM(spec, 1)) || !PyTuple_Check(positions) ||
            PyTuple_GET_SIZE(positions) != 3 || !PyType_Check(PyTuple_GET_ITEM(spec, 3)) ||
            !PyTuple_Check(readable) || !PyType_Check(PyTuple_GET_ITEM(spec, 5)) ||
            !PyType_Check(PyTuple_GET_ITEM(spec, 6)))
            raise(PyExc_TypeError, "same() needs (cleared classes, table class, row position classes, "
                                   "select class, readable row source classes, from class, "
                                   "subquery class)");
        auto type_at = [&](Py_ssize_t i) { return reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(spec, i)); };
        Judged judged{PyTuple_GET_ITEM(spec, 0), type_at(1), {}, type_at(3), {}, type_at(5), type_at(6),
                      require(PyList_New(0)), {}};
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(readable); ++i) {
            PyObject* kind = PyTuple_GET_ITEM(readable, i);
            if (!PyType_Check(kind)) raise(PyExc_TypeError, "same() needs readable row source classes");
            judged.readable.push_back(reinterpret_cast<PyTypeObject*>(kind));
        }
        for (int i = 0; i < 3; ++i) {
            PyObject* kind = PyTuple_GET_ITEM(positions, i);
            if (!PyType_Check(kind)) raise(PyExc_TypeError, "same() needs row position classes");
            judged.positions[i] = reinterpret_cast<PyTypeObject*>(kind);
        }
        if (!same_tree(module, args[0], args[1], base, identifier, func, &judged)) {
            result = Py_NewRef(Py_None);
            return;
        }
        // The list holds every pick: code run by the questions cannot free one.
        PyObject* picks = judged.nodes.borrow();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(picks) && i < static_cast<Py_ssize_t>(judged.marks.size()); ++i) {
            Ref node = Ref::new_ref(PyList_GET_ITEM(picks, i));
            if (PyObject_TypeCheck(node.borrow(), judged.table) &&
                in_built_from(state_of(module), node.borrow(), judged))
                judged.marks[static_cast<size_t>(i)] |= PICK_BUILT_SHAPE;
        }
        Ref marks = require(PyBytes_FromStringAndSize(judged.marks.data(),
                                                      static_cast<Py_ssize_t>(judged.marks.size())));
        result = require(PyTuple_Pack(2, judged.nodes.borrow(), marks.borrow())).release();
    });
    return result;
}

PyObject* nodes(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* result = nullptr;
    at_boundary([&] {
        if (nargs != 2)
            raise_format(PyExc_TypeError, "nodes() takes exactly 2 arguments (%zd given)", nargs);
        result = list_nodes(module, args[0], args[1]).release();
    });
    return result;
}

PyObject* screen(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* result = nullptr;
    at_boundary([&] {
        if (nargs != 8)
            raise_format(PyExc_TypeError, "screen() takes exactly 8 arguments (%zd given)", nargs);
        // passing = None, or (type flag, object identifier class, judged types, select flag,
        // query flag)
        PassingKinds passing;
        if (args[7] != Py_None) {
            PyObject* p = args[7];
            if (!PyTuple_Check(p) || PyTuple_GET_SIZE(p) != 5 || !PyLong_Check(PyTuple_GET_ITEM(p, 0)) ||
                !PyType_Check(PyTuple_GET_ITEM(p, 1)) || !PyTuple_Check(PyTuple_GET_ITEM(p, 2)) ||
                PyTuple_GET_SIZE(PyTuple_GET_ITEM(p, 2)) == 0 || !PyLong_Check(PyTuple_GET_ITEM(p, 3)) ||
                !PyLong_Check(PyTuple_GET_ITEM(p, 4)))
                raise(PyExc_TypeError, "screen() needs None or (type flag, object identifier class, "
                                       "judged types, select flag, query flag)");
            long values[3];
            for (int k = 0; k < 3; ++k) {
                values[k] = PyLong_AsLong(PyTuple_GET_ITEM(p, k == 0 ? 0 : k + 2));
                if (values[k] == -1 && PyErr_Occurred()) fail();
            }
            passing.type_flag = values[0];
            passing.object_identifier = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(p, 1));
            passing.judged_types = PyTuple_GET_ITEM(p, 2);
            passing.select_flag = values[1];
            passing.query_flag = values[2];
        }
        // plain = None, or (table, flag, identifier, table alias, parts, alias parts)
        PlainTable plain;
        PyObject* spec = args[6];
        if (spec != Py_None) {
            if (!PyTuple_Check(spec) || PyTuple_GET_SIZE(spec) != 6 || !PyType_Check(PyTuple_GET_ITEM(spec, 0)) ||
                !PyLong_Check(PyTuple_GET_ITEM(spec, 1)) || !PyType_Check(PyTuple_GET_ITEM(spec, 2)) ||
                !PyType_Check(PyTuple_GET_ITEM(spec, 3)) || !PyFrozenSet_CheckExact(PyTuple_GET_ITEM(spec, 4)) ||
                !PyFrozenSet_CheckExact(PyTuple_GET_ITEM(spec, 5)))
                raise(PyExc_TypeError, "screen() needs None or (table class, table flag, identifier "
                                       "class, table alias class, parts, alias parts)");
            for (Py_ssize_t set = 4; set < 6; ++set) {
                // Only str: a lookup of a key runs no Python code.
                Ref items = require(PySequence_List(PyTuple_GET_ITEM(spec, set)));
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(items.borrow()); ++j)
                    if (!PyUnicode_CheckExact(PyList_GET_ITEM(items.borrow(), j)))
                        raise(PyExc_TypeError, "screen() needs parts that are str");
            }
            auto type_at = [&](Py_ssize_t i) { return reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(spec, i)); };
            plain.table = type_at(0);
            plain.flag = PyLong_AsLong(PyTuple_GET_ITEM(spec, 1));
            if (plain.flag == -1 && PyErr_Occurred()) fail();
            plain.identifier = type_at(2);
            plain.alias = type_at(3);
            plain.parts = PyTuple_GET_ITEM(spec, 4);
            plain.alias_parts = PyTuple_GET_ITEM(spec, 5);
        }
        result = screen_statement(module, args[0], args[1], args[2], args[3], truth(args[4]), args[5],
                                  plain, passing)
                     .release();
    });
    return result;
}

PyMethodDef methods[] = {
    {"nodes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(nodes)), METH_FASTCALL,
     PyDoc_STR("nodes(tree, base) -> list: the nodes of tree in the order of tree.walk()")},
    {"screen", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(screen)), METH_FASTCALL,
     PyDoc_STR("screen(tree, base, kinds, classify, names_matter, prefix, plain, passing) -> (judged, reasons, "
               "names, flags): the statement's nodes the wall must judge, why, the text of its "
               "other identifiers that may begin with prefix, and the kind flags of all its nodes")},
    {"same", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(same)), METH_FASTCALL,
     PyDoc_STR("same(written, read, base, identifier, func[, judged]) -> bool, or (nodes, marks) "
               "or None: read is written, node for node; with judged, the nodes of read to "
               "judge and their PICK_* marks, or None")},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    TreeState* st = state_of(module);
    const std::pair<Owned*, const char*> strings[] = {
        {&st->field_names[ARGS], "args"},   {&st->field_names[META], "_meta"},
        {&st->field_names[COMMENTS], "comments"}, {&st->field_names[TYPE], "_type"},
        {&st->str_quoted, "quoted"},
        {&st->str_this, "this"},            {&st->str_is_string, "is_string"},
        {&st->str_temporary, "temporary"},  {&st->str_global, "global_"},
        {&st->str_where, "where"},          {&st->str_alias, "alias"},
        {&st->str_settings, "settings"},    {&st->str_format, "format"},
        {&st->str_from, "from_"},           {&st->str_joins, "joins"},
        {&st->str_laterals, "laterals"},    {&st->str_parent, "parent"},
        {&st->str_arg_key, "arg_key"},      {&st->str_with, "with_"},
    };
    for (auto [field, text] : strings)
        if (!(*field = PyUnicode_InternFromString(text))) return -1;
    const std::pair<const char*, long> kinds[] = {
        {"KIND_IDENTIFIER", KIND_IDENTIFIER}, {"KIND_QUOTED", KIND_QUOTED},
        {"KIND_LITERAL", KIND_LITERAL},       {"KIND_ROW_POSITION", KIND_ROW_POSITION},
    };
    for (auto [name, value] : kinds)
        if (PyModule_AddIntConstant(module, name, value) < 0) return -1;
    const std::pair<const char*, char> reasons[] = {
        {"JUDGE_KIND", JUDGE_KIND}, {"JUDGE_ROW_SOURCE", JUDGE_ROW_SOURCE}, {"JUDGE_TEXT", JUDGE_TEXT},
        {"JUDGE_PLAIN_TABLE", JUDGE_PLAIN_TABLE},
    };
    for (auto [name, value] : reasons)
        if (PyModule_AddIntConstant(module, name, value) < 0) return -1;
    const std::pair<const char*, char> marks[] = {
        {"PICK_ROW_SOURCE", PICK_ROW_SOURCE}, {"PICK_IN_WHERE", PICK_IN_WHERE},
        {"PICK_UNCLEARED", PICK_UNCLEARED}, {"PICK_BUILT_SHAPE", PICK_BUILT_SHAPE},
    };
    for (auto [name, value] : marks)
        if (PyModule_AddIntConstant(module, name, value) < 0) return -1;
    const char* position_keys[] = {"line", "col", "start", "end"};
    for (int i = 0; i < 4; ++i)
        if (!(st->position_names[i] = PyUnicode_InternFromString(position_keys[i]))) return -1;
    Ref keys = Ref::steal(PyTuple_Pack(4, st->position_names[0], st->position_names[1],
                                       st->position_names[2], st->position_names[3]));
    if (!keys) return -1;
    st->positions = PyFrozenSet_New(keys.borrow());
    return st->positions ? 0 : -1;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    TreeState* state = state_of(module);
    if (state)
        for (PyObject* d : state->descriptors) Py_VISIT(d);
    return 0;
}

int clear(PyObject* module) {
    TreeState* state = state_of(module);
    if (state) {
        for (Owned& name : state->field_names) Py_CLEAR(name);
        for (Owned& d : state->descriptors) Py_CLEAR(d);
        for (int f = 0; f < FIELD_COUNT; ++f) {
            state->getters[f] = nullptr;
            state->closures[f] = nullptr;
        }
        for (Owned& name : state->position_names) Py_CLEAR(name);
        Py_CLEAR(state->str_quoted);
        Py_CLEAR(state->str_this);
        Py_CLEAR(state->str_is_string);
        Py_CLEAR(state->str_temporary);
        Py_CLEAR(state->str_global);
        Py_CLEAR(state->str_where);
        Py_CLEAR(state->str_alias);
        Py_CLEAR(state->str_parent);
        Py_CLEAR(state->str_arg_key);
        Py_CLEAR(state->str_with);
        Py_CLEAR(state->str_settings);
        Py_CLEAR(state->str_format);
        Py_CLEAR(state->str_from);
        Py_CLEAR(state->str_joins);
        Py_CLEAR(state->str_laterals);
        Py_CLEAR(state->positions);
        for (KnownClass& k : state->known) k = {nullptr, 0};
    }
    return 0;
}

void free_module(void* module) { clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pellquist.wall._tree",
    PyDoc_STR("The wall's walks of a sqlglot tree, in C."),
    sizeof(TreeState),
    methods,
    slots,
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace quist

PyMODINIT_FUNC PyInit__tree() { return PyModuleDef_Init(&quist::module_def); }
