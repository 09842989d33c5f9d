// Redshift::deserializeCache on arbitrary bytes. The cache text comes back
// from the host's storage, which may hold anything (an older release's text,
// a truncated write, hand edits). Whatever is accepted must survive the next
// save and load unchanged: a cache that drifts on every restart would make
// the plugin alter tables that are already right.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "redshift.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    Redshift first;
    const int rc = first.deserializeCache(text);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        // A rejected text must not leave half a cache behind.
        FUZZ_CHECK(first.serializeCache() == "{\"Items\":[]}");
        return 0;
    }

    const std::string written = first.serializeCache();
    Redshift second;
    FUZZ_CHECK(second.deserializeCache(written) == 0);
    const std::string rewritten = second.serializeCache();
    if (rewritten != written) {
        std::fprintf(stderr, "written:   %s\nrewritten: %s\n", printable(written).c_str(),
                     printable(rewritten).c_str());
        FUZZ_CHECK(rewritten == written);
    }
    return 0;
}
