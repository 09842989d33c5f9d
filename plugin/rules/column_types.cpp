// Column type strings, both ways: from datapoints and from the catalogue.
#include "rules/column_types.h"

#include "datapoint.h"
#include "rules/names.h"

const char* const TYPE_VARCHAR = " VARCHAR(256) ";
const char* const TYPE_BIGINT = " BIGINT ";
const char* const TYPE_REAL = " REAL ";
const char* const TYPE_TIMESTAMPTZ = " TIMESTAMPTZ ";

namespace {

struct FixedColumnRule {
    const char* name;
    const char* type;
    FixedColumn holds;
    const char* constraint;
};
// The one list of the fixed columns: their names, types, what they hold,
// and how they are made.
const FixedColumnRule FIXED[] = {{"asset_code", TYPE_VARCHAR, FixedColumn::Asset, "NOT NULL"},
                                 {"user_ts", TYPE_TIMESTAMPTZ, FixedColumn::UserTs, ""},
                                 {"ts", TYPE_TIMESTAMPTZ, FixedColumn::Ts, ""},
                                 {"vantrel", TYPE_VARCHAR, FixedColumn::Instance, ""}};

ColumnList fixedColumns() {
    ColumnList columns;
    for (const FixedColumnRule& column : FIXED) columns.emplace_back(column.name, column.type);
    return columns;
}

}  // namespace

const ColumnList FIXED_COLUMNS = fixedColumns();

FixedColumn fixedColumnOf(const std::string& name) {
    for (const FixedColumnRule& column : FIXED)
        if (name == column.name) return column.holds;
    return FixedColumn::None;
}

std::string fixedColumnsDefinition() {
    std::string sql;
    for (const FixedColumnRule& column : FIXED)
        sql += std::string(sql.empty() ? "" : ", ") + column.name + column.type + column.constraint;
    return sql;
}

const char* typeStringFor(uint32_t datapointType) {
    switch (datapointType) {
        case DP_STRING: return TYPE_VARCHAR;
        case DP_INTEGER: return TYPE_BIGINT;
        case DP_FLOAT: return TYPE_REAL;
        default: return nullptr;
    }
}

std::string typeStringForDatabase(const std::string& dataType, const char* maxLength) {
    if (dataType == "real") return TYPE_REAL;
    if (dataType == "bigint") return TYPE_BIGINT;
    if (dataType == "timestamp with time zone") return TYPE_TIMESTAMPTZ;
    std::string length = maxLength ? maxLength : "";
    // Character columns keep their declared length, so text can be fitted to it.
    if (dataType == "character varying") return length.empty() ? " VARCHAR " : " VARCHAR(" + length + ") ";
    if (dataType == "character") return " CHAR(" + (length.empty() ? std::string("1") : length) + ") ";
    if (dataType == "text") return " TEXT ";
    // Any other type is kept by its own name, so nothing is written as text
    // into a column that is not one.
    return " " + names::upperCased(dataType) + " ";
}

ColumnKind kindOf(const std::string& type) {
    if (type == TYPE_BIGINT) return ColumnKind::Bigint;
    if (type == TYPE_REAL) return ColumnKind::Real;
    if (type == TYPE_TIMESTAMPTZ) return ColumnKind::Timestamp;
    if (type.rfind(" VARCHAR", 0) == 0 || type.rfind(" CHAR(", 0) == 0 || type == " TEXT ") return ColumnKind::Text;
    return ColumnKind::Other;
}

bool isCharType(const std::string& type) { return type.rfind(" CHAR(", 0) == 0; }

size_t textLimit(const std::string& type) {
    size_t open = type.find('(');
    if (kindOf(type) != ColumnKind::Text || open == std::string::npos) return 0;
    size_t limit = 0;
    for (size_t i = open + 1; i < type.size() && type[i] >= '0' && type[i] <= '9'; ++i)
        limit = limit * 10 + static_cast<size_t>(type[i] - '0');
    return limit;
}
