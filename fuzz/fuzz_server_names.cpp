// The stored-name rules (columnNameFor, serverTableName) on two valid names.
// Whatever the names, the result must be the same every time, fit the
// server's limit, and two names the server tells apart must stay apart: a
// clash would put two datapoints into one column.
//
// Input layout: the bytes before the first '\n' are one name, the rest the
// other; each goes through names::makeValid first, as in the plugin.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "rules/names.h"
#include "redshift.h"
#include "rules/server_names.h"

namespace {
std::string lower(const std::string& name) { return names::folded(name); }

bool isStoredNameByte(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$'; }

void checkOne(const std::string& valid, const std::string& column, const std::string& table, const Dialect& dialect) {
    FUZZ_CHECK(column == columnNameFor(valid, dialect) && table == serverTableName(valid, dialect));
    FUZZ_CHECK(column.size() <= dialect.identifierLimit && table.size() <= dialect.identifierLimit);
    FUZZ_CHECK(serverCutName(column, dialect.identifierLimit) == column);
    for (char c : column + table) FUZZ_CHECK(isStoredNameByte(c));
    // A name within the limit is kept, apart from lower case (and the "$" of a taken column).
    if (valid.size() <= dialect.identifierLimit) {
        FUZZ_CHECK(table == lower(valid));
        FUZZ_CHECK(column == lower(valid) || column == lower(valid) + "$");
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string a = input.substr(0, newline);
    std::string b = newline == std::string::npos ? std::string() : input.substr(newline + 1);
    names::makeValid(a);
    names::makeValid(b);
    for (const Dialect& dialect : {dialectFor(80002), dialectFor(150000)}) {
        std::string columnA = columnNameFor(a, dialect), columnB = columnNameFor(b, dialect);
        std::string tableA = serverTableName(a, dialect), tableB = serverTableName(b, dialect);
        checkOne(a, columnA, tableA, dialect);
        checkOne(b, columnB, tableB, dialect);
        // Names that differ other than in letter case stay different.
        bool same = lower(a) == lower(b);
        FUZZ_CHECK(same == (columnA == columnB));
        FUZZ_CHECK(same == (tableA == tableB));
    }
    return 0;
}
