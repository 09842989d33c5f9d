#pragma once
// Column type strings and what they mean for the values written into them.
// A type string holds the SQL type with one blank on each side, as statements
// and the cache text use it verbatim.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

extern const char* const TYPE_VARCHAR;      // " VARCHAR(256) "
extern const char* const TYPE_BIGINT;       // " BIGINT "
extern const char* const TYPE_REAL;         // " REAL "
extern const char* const TYPE_TIMESTAMPTZ;  // " TIMESTAMPTZ "

using Column = std::pair<std::string, std::string>;  // (name as stored, type string)
using ColumnList = std::vector<Column>;

// What each of the fixed columns holds.
enum class FixedColumn { None, Asset, UserTs, Ts, Instance };

// The columns every table the plugin makes starts with, in this order:
// asset_code, user_ts, ts, vantrel.
extern const ColumnList FIXED_COLUMNS;
// Which fixed column a stored column name is, None for any other; the
// fixed columns take a reading's own values wherever they stand.
FixedColumn fixedColumnOf(const std::string& name);
// The fixed columns as CREATE TABLE defines them.
std::string fixedColumnsDefinition();

// How a value is written into a column.
enum class ColumnKind {
    Bigint,     // whole numbers
    Real,       // numbers
    Text,       // character columns: text, fitted to their length
    Timestamp,  // the plugin's timestamps
    Other,      // a type the plugin does not create: values as literals, absent ones null
};

// The type string for a datapoint's value code, or null for codes without a column.
const char* typeStringFor(uint32_t datapointType);
// The type string for what information_schema.columns reports.
std::string typeStringForDatabase(const std::string& dataType, const char* maxLength);
ColumnKind kindOf(const std::string& typeString);
// Whether the type is CHAR(n), which Redshift fills with single-byte characters only.
bool isCharType(const std::string& typeString);
// The bytes a character column holds; 0 for an unbounded one or another kind.
size_t textLimit(const std::string& typeString);
