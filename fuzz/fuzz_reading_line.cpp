// north-run's parseReadingLine on arbitrary bytes: never a crash, and a
// reading the plugin can walk (promised kinds, bounded nesting, no clashing
// names) holding the values the line wrote: each number is checked against
// the C library's reading of its text, as no sanitizer sees wrong data.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "fuzz_support.h"
#include "reading.h"
#include "reading_line.h"

namespace {

using rapidjson::Value;

std::string text(const Value& v) { return std::string(v.GetString(), v.GetStringLength()); }

// The same line read again with every number kept as its text, converted by
// something other than the parser under test.
constexpr unsigned kRawNumbers =
    rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;

bool isIntegerText(const std::string& number) { return number.find_first_of(".eE") == std::string::npos; }

void checkNumber(const std::string& where, const std::string& number, const DatapointValue& value) {
    errno = 0;
    char* end = nullptr;
    const long long asInteger = std::strtoll(number.c_str(), &end, 10);
    const bool fitsInt64 = isIntegerText(number) && errno == 0 && *end == '\0';
    if (fitsInt64) {
        // A JSON integer that fits int64 is an integer, and that integer.
        if (value.getType() != DP_INTEGER || value.toInt() != asInteger) {
            std::fprintf(stderr, "%s: %s became type %u, %s\n", printable(where).c_str(), number.c_str(),
                         value.getType(), value.toString().c_str());
            FUZZ_CHECK(value.getType() == DP_INTEGER && value.toInt() == asInteger);
        }
        return;
    }
    // Every other number a float within a few ULP of glibc's strtod.
    errno = 0;
    const double expected = std::strtod(number.c_str(), &end);
    // At the top of the range a few ULP decide between the largest double
    // and infinity, so there either is as good as the other.
    auto atEdge = [](double v) { return std::fabs(v) >= std::numeric_limits<double>::max() * (1 - 1e-12); };
    bool close = false;
    if (value.getType() == DP_FLOAT) {
        const double got = value.toDouble();
        if (atEdge(got) || atEdge(expected)) {
            close = atEdge(got) && atEdge(expected) && std::signbit(got) == std::signbit(expected);
        } else {
            // Relative for normal numbers; absolute near zero, where
            // subnormals have too few digits for a relative bound.
            close = std::fabs(got - expected) <= std::max(std::fabs(expected) * 1e-12, 1e-300);
        }
    }
    if (!close) {
        std::fprintf(stderr, "%s: %s became type %u, %s (expected %.17g)\n", printable(where).c_str(),
                     number.c_str(), value.getType(), value.toString().c_str(), expected);
        FUZZ_CHECK(close);
    }
}

// depth is the nesting level of the object that holds these datapoints; the
// reading itself is level 1 and its datapoints object level 2.
void walk(const std::vector<Datapoint*>& datapoints, const Value& source, int depth, const std::string& path) {
    FUZZ_CHECK(depth <= kMaxReadingNesting);
    FUZZ_CHECK(source.IsObject());
    std::set<std::string> names;
    auto member = source.MemberBegin();
    for (const Datapoint* dp : datapoints) {
        FUZZ_CHECK(dp != nullptr);
        FUZZ_CHECK(names.insert(dp->getName()).second);
        if (path.empty()) FUZZ_CHECK(!dp->getName().empty());
        const std::string where = path.empty() ? dp->getName() : path + "." + dp->getName();

        // Datapoints keep the members' order; only null members are left out.
        while (member != source.MemberEnd() && member->value.IsNull()) ++member;
        FUZZ_CHECK(member != source.MemberEnd());
        FUZZ_CHECK(text(member->name) == dp->getName());
        const Value& raw = member->value;
        ++member;

        const DatapointValue& value = dp->getData();
        // Has to be producible for every kind; nested kinds walk their
        // children themselves.
        (void)value.toString();
        switch (raw.GetType()) {
            case rapidjson::kFalseType:
            case rapidjson::kTrueType:
                FUZZ_CHECK(value.getType() == DP_INTEGER && value.toInt() == (raw.IsTrue() ? 1 : 0));
                break;
            case rapidjson::kStringType:
                // With raw numbers a number is a string too; its kind tells.
                if (value.getType() == DP_STRING) {
                    FUZZ_CHECK(value.stringValue() == text(raw));
                } else {
                    checkNumber(where, text(raw), value);
                }
                break;
            case rapidjson::kNumberType:
                FUZZ_CHECK(false);  // never produced with raw numbers
                break;
            case rapidjson::kObjectType:
                FUZZ_CHECK(value.getType() == DP_DICT && value.getDpVec() != nullptr);
                walk(*value.getDpVec(), raw, depth + 1, where);
                break;
            case rapidjson::kArrayType:
                FUZZ_CHECK(value.getType() == DP_FLOAT_ARRAY);
                break;
            case rapidjson::kNullType:
                FUZZ_CHECK(false);
                break;
        }
    }
    while (member != source.MemberEnd() && member->value.IsNull()) ++member;
    FUZZ_CHECK(member == source.MemberEnd());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    silenceLogger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* line = reinterpret_cast<const char*>(data);
    std::string error;
    std::unique_ptr<Reading> reading = parseReadingLine(line, size, error);
    if (!reading) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }

    rapidjson::Document raw;
    raw.Parse<kRawNumbers>(line, size);
    FUZZ_CHECK(!raw.HasParseError() && raw.IsObject());
    auto asset = raw.FindMember("asset");
    auto datapoints = raw.FindMember("datapoints");
    FUZZ_CHECK(asset != raw.MemberEnd() && asset->value.IsString());
    FUZZ_CHECK(reading->getAssetName() == text(asset->value));
    FUZZ_CHECK(datapoints != raw.MemberEnd());
    walk(reading->getReadingData(), datapoints->value, 2, "");

    // Timestamps were range-checked on the way in, so they always format.
    FUZZ_CHECK(!reading->getAssetDateUserTime().empty());
    FUZZ_CHECK(!reading->getAssetDateTime(Reading::FMT_ISO8601).empty());

    return 0;
}
