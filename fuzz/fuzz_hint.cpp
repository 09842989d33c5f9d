// The table-name rule (names::tableFor) on arbitrary hint text. The
// hint is a string datapoint that arrives from whatever produced the reading,
// so it can be any bytes at all, and the name it yields goes into statements.
//
// Input layout: the bytes before the first '\n' are the asset name, the bytes
// after it the hint text. Without a '\n' the asset is empty and everything is
// hint, which is the case where the hint alone decides.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "reading.h"
#include "rules/names.h"
#include "redshift.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const char* newline = size ? static_cast<const char*>(std::memchr(bytes, '\n', size)) : nullptr;
    std::string asset, hint;
    if (newline) {
        asset.assign(bytes, newline);
        hint.assign(newline + 1, bytes + size);
    } else {
        hint.assign(bytes, size);
    }

    std::vector<Datapoint*> values{new Datapoint(AWS_REDSHIFT_HINT, DatapointValue(hint))};
    Reading reading(asset, values, 0, 0);

    const std::string table = names::tableFor(reading);

    if (!isValidSqlName(table)) {
        std::fprintf(stderr, "table: %s\n", printable(table).c_str());
        FUZZ_CHECK(isValidSqlName(table));
    }
    std::string again = table;
    names::makeValid(again);
    FUZZ_CHECK(again == table);
    // With an asset there is always a table: a hint that names nothing falls
    // back to the asset, and the rule never shortens a name.
    if (!asset.empty()) FUZZ_CHECK(!table.empty());
    return 0;
}
