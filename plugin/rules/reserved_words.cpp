// Reserved words of PostgreSQL (categories R and T) and of Amazon Redshift. A
// name that is one of them cannot stand bare as a table or column name.
#include <algorithm>
#include <cstring>

#include "rules/names.h"
#include "rules/sql_names.h"

// Sorted by byte order, upper case; a test checks both.
const char* const RESERVED_WORDS[] = {
    "AES128", "AES256", "ALL", "ALLOWOVERWRITE", "ANALYSE", "ANALYZE", "AND", "ANY", "ARRAY", "AS",
    "ASC", "ASYMMETRIC", "AUTHORIZATION", "AZ64", "BACKUP", "BETWEEN", "BINARY", "BLANKSASNULL",
    "BOTH", "BYTEDICT", "BZIP2", "CASE", "CAST", "CHECK", "COLLATE", "COLLATION", "COLUMN",
    "CONCURRENTLY", "CONSTRAINT", "CREATE", "CREDENTIALS", "CROSS", "CURRENT_CATALOG",
    "CURRENT_DATE", "CURRENT_ROLE", "CURRENT_SCHEMA", "CURRENT_TIME", "CURRENT_TIMESTAMP",
    "CURRENT_USER", "CURRENT_USER_ID", "DEFAULT", "DEFERRABLE", "DEFLATE", "DEFRAG", "DELTA",
    "DELTA32K", "DESC", "DISABLE", "DISTINCT", "DO", "ELSE", "EMPTYASNULL", "ENABLE", "ENCODE",
    "ENCRYPT", "ENCRYPTION", "END", "EXCEPT", "EXPLICIT", "FALSE", "FETCH", "FOR", "FOREIGN",
    "FREEZE", "FROM", "FULL", "GLOBALDICT256", "GLOBALDICT64K", "GRANT", "GROUP", "GZIP", "HAVING",
    "IDENTITY", "IGNORE", "ILIKE", "IN", "INITIALLY", "INNER", "INTERSECT", "INTERVAL", "INTO",
    "IS", "ISNULL", "JOIN", "LATERAL", "LEADING", "LEFT", "LIKE", "LIMIT", "LOCALTIME",
    "LOCALTIMESTAMP", "LUN", "LUNS", "LZO", "LZOP", "MINUS", "MOSTLY16", "MOSTLY32", "MOSTLY8",
    "NATURAL", "NEW", "NOT", "NOTNULL", "NULL", "NULLS", "OFF", "OFFLINE", "OFFSET", "OID", "OLD",
    "ON", "ONLY", "OPEN", "OR", "ORDER", "OUTER", "OVERLAPS", "PARALLEL", "PARTITION", "PERCENT",
    "PERMISSIONS", "PIVOT", "PLACING", "PRIMARY", "RAW", "READRATIO", "RECOVER", "REFERENCES",
    "REJECTLOG", "RESORT", "RESPECT", "RESTORE", "RETURNING", "RIGHT", "SELECT", "SESSION_USER",
    "SIMILAR", "SNAPSHOT", "SOME", "SYMMETRIC", "SYSDATE", "SYSTEM", "TABLE", "TABLESAMPLE", "TAG",
    "TDES", "TEXT255", "TEXT32K", "THEN", "TIMESTAMP", "TO", "TOP", "TRAILING", "TRUE",
    "TRUNCATECOLUMNS", "UNION", "UNIQUE", "UNNEST", "UNPIVOT", "USER", "USING", "VARIADIC",
    "VERBOSE", "WALLET", "WHEN", "WHERE", "WINDOW", "WITH", "WITHOUT",
};
const size_t RESERVED_WORD_COUNT = sizeof(RESERVED_WORDS) / sizeof(RESERVED_WORDS[0]);


bool isReservedWord(const std::string& name) {
    std::string key = names::upperCased(name);
    return std::binary_search(RESERVED_WORDS, RESERVED_WORDS + RESERVED_WORD_COUNT, key.c_str(),
                              [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
}

std::string sqlIdentifier(const std::string& name) {
    bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
    for (char c : name) plain = plain && names::isFoldedNameByte(c);
    // A plain lower-case name that is no reserved word stands bare.
    if (plain && !isReservedWord(name)) return name;
    // Anything else is quoted exactly as stored, so that it names that column
    // and can never end the list early; NUL cannot be part of a name.
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '\0') continue;
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}
