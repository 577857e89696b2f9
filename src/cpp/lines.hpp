// The line each step of the module reports in its traceback entry.
//
// The module stands for a Python source, src/pellquist/quist, that it does
// not ship: each function's steps are numbered as the lines of that source
// would be, and an exception leaving a step gets an entry at its line.
// Callers and tests read these numbers, so they never change.  The
// project's own checks (the wall's walk, the filter check, the read-back,
// hidden table reads) have no line of their own in that source: each
// reports the line of the step it guards, named below with the reason.
#pragma once

namespace quist::lines {

// The module body: its imports, the class statement and `__test__`.
namespace body {
inline constexpr int kImportSqlglot = 1;   // from sqlglot import parse_one, exp
inline constexpr int kImportModels = 2;    // from .models import TableNotFound
inline constexpr int kClass = 4;           // class Session:
inline constexpr int kTestDict = 1;        // __test__ = {}
}  // namespace body

// Session.__init__(self, db, params)
namespace init {
inline constexpr int kDef = 5;
inline constexpr int kSetDatabase = 6;     // self.database = db
inline constexpr int kSetParams = 7;       // self.params = params
}  // namespace init

// Session.is_type(tree, _type)
namespace is_type {
inline constexpr int kDef = 9;
inline constexpr int kFindAll = 10;        // return len(list(tree.find_all(_type))) > 0
}  // namespace is_type

// Session.generateNativeSQL(self, aSql, dialect=None)
namespace generate {
inline constexpr int kDef = 14;            // also: the call's record is made
inline constexpr int kTestDialect = 15;    // if dialect:
inline constexpr int kParseInDialect = 16; //     tree = parse_one(aSql, dialect=dialect)
inline constexpr int kParse = 18;          // else: tree = parse_one(aSql)
inline constexpr int kRootIsSelect = 19;   // if type(tree) != exp.Select:
inline constexpr int kRefuseRoot = 20;     //     raise Exception(..., aSql)
inline constexpr int kBlockedKinds = 21;   // for kind in (exp.DML, exp.DDL, ...):
inline constexpr int kIsType = 23;         //     if Session.is_type(tree, kind):
inline constexpr int kRefuseBlocked = 24;  //         raise Exception(..., aSql)
// The wall's walk of the statement refuses what the rewrite cannot vouch
// for, as the blocked-kind check just above it does: it reports that
// refusal's line.
inline constexpr int kWallWalk = kRefuseBlocked;
inline constexpr int kCteNames = 26;       // cte_names = set()
inline constexpr int kCteLoop = 28;        // for cte in tree.ctes:
inline constexpr int kCteAlias = 29;       //     alias = cte.alias
inline constexpr int kCteAdd = 30;         //     cte_names.add(alias)
inline constexpr int kCatalogueMap = 34;   // tbl_map = {}
inline constexpr int kCatalogueLoop = 35;  // for _, tbl in self.database.tables.items():
inline constexpr int kCatalogueEntry = 36; //     tbl_map[tbl.pub_name.lower()] = tbl
inline constexpr int kTransformerDef = 38; // def transformer(node):
inline constexpr int kTransform = 86;      // new_tree = tree.transform(transformer)
inline constexpr int kRender = 88;         // return new_tree.sql(dialect=..., identify=True)
// The read-back parses and judges the rendered text: it guards the render.
inline constexpr int kReadBack = kRender;
}  // namespace generate

// transformer(node), nested in generateNativeSQL
namespace transformer {
inline constexpr int kDef = 38;
inline constexpr int kIsTable = 39;        // if isinstance(node, exp.Table):
inline constexpr int kName = 40;           //     name = node.name
inline constexpr int kIsCte = 41;          //     if name in cte_names: return node
inline constexpr int kLowerName = 43;      //     table_name = name.lower()
inline constexpr int kParts = 44;          //     parts = []
// For the catalog part, then the db part: the test, the part, the append.
inline constexpr int kPartSteps[2][3] = {{45, 46, 47}, {48, 49, 50}};
inline constexpr int kTablePart = 51;      //     parts.append(table_name.lower())
inline constexpr int kKey = 53;            //     key = ".".join(parts)
inline constexpr int kLookup = 55;         //     if key not in tbl_map:
inline constexpr int kNotFound = 56;       //         raise TableNotFound(key, ...)
// A table read the rewrite cannot see through is an unknown table too.
inline constexpr int kHiddenRead = kNotFound;
inline constexpr int kTable = 57;          //     table = tbl_map[key]
// A column qualified by a full public name follows that table's lookup.
inline constexpr int kRequalify = kTable;
inline constexpr int kAliasTest = 58;      //     if node.alias == "":
inline constexpr int kDefaultAlias = 59;   //         alias = str(table.pub_name).replace(".", "_")
inline constexpr int kUserAlias = 61;      //     else: alias = node.alias
inline constexpr int kProjections = 62;    //     projections = []
inline constexpr int kColumnLoop = 63;     //     for internal, column in table.columns.items():
inline constexpr int kColumnName = 64;     //         public = column.pub_name
inline constexpr int kProjection = 65;     //         projections.append(exp.alias_(...))
inline constexpr int kSelect = 67;         //     select = exp.select(*projections).from_(...)
inline constexpr int kFilter = 69;         //     filters = table.filters
inline constexpr int kHasFilter = 70;      //     if filters:
inline constexpr int kFill = 71;           //         condition = filters.strip().format(**params)
inline constexpr int kLeadingWhere = 74;   //         if condition.lower().startswith("where"):
inline constexpr int kDropWhere = 75;      //             condition = condition[5:].strip()
inline constexpr int kParseFilter = 76;    //         expr = parse_one(condition, read=dialect)
// The filter must be one condition, bound to the internal table: checked
// on the parse it guards.
inline constexpr int kFilterCheck = kParseFilter;
inline constexpr int kWhere = 77;          //         select = select.where(expr)
inline constexpr int kSubquery = 79;       //     return exp.Subquery(this=select, alias=...)
inline constexpr int kAlias = 81;          //         exp.TableAlias(this=exp.Identifier(...))
}  // namespace transformer

}  // namespace quist::lines
