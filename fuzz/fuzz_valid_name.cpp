// Redshift::getValidSQLName on arbitrary bytes. Every table and column name
// the plugin writes passes through it, so whatever it returns has to be
// usable bare in a statement, and running it again must not change it (the
// plugin applies it to names that have already been through it).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "redshift.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string name = input;
    Redshift::getValidSQLName(name);

    if (input.empty()) {
        FUZZ_CHECK(name.empty());
        return 0;
    }
    FUZZ_CHECK(!name.empty());
    FUZZ_CHECK(isValidSqlName(name));

    // Byte for byte: a name byte stays, anything else (each byte of a
    // multi-byte character included) becomes one '_'. The only growth is the
    // "X_" in front of a leading digit.
    FUZZ_CHECK(name.size() == input.size() || name.size() == input.size() + 2);
    size_t offset = 0;
    if (name.size() == input.size() + 2) {
        FUZZ_CHECK(name.compare(0, 2, "X_") == 0);
        FUZZ_CHECK(isDigit(input[0]));
        offset = 2;
    } else {
        FUZZ_CHECK(!isDigit(input[0]));
    }
    for (size_t i = 0; i < input.size(); ++i)
        FUZZ_CHECK(name[offset + i] == (isNameByte(input[i]) ? input[i] : '_'));

    std::string again = name;
    Redshift::getValidSQLName(again);
    FUZZ_CHECK(again == name);
    return 0;
}
