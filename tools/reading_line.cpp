#include "reading_line.h"

#include "rules/names.h"
#include "rules/server_names.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <unordered_set>
#include <utility>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/encodedstream.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/error/en.h>

namespace {

using rapidjson::Value;
using DatapointList = std::vector<std::unique_ptr<Datapoint>>;

// The iterative parser keeps its own stack on the heap, so a line of a million
// '[' costs memory but never the call stack. Invalid UTF-8 is refused here
// because the database would refuse the whole block that carries it.
// Numbers reach us as their text and are converted here: RapidJSON's own
// conversion is a few ULP off on its default path and, in this version, has
// undefined behaviour ("0e300") on its full-precision one.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseNumbersAsStringsFlag;

// A float exactly as written: the nearest double to its decimal text, read
// the same whatever the process's locale is.
double exactDouble(const char* text) {
    static locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return strtod_l(text, nullptr, c);
}

// A UTF-16 surrogate reaches the text only through a \u escape the parser
// did not pair (its UTF-8 form is ED A0..BF): it encodes no character, and the
// database refuses it like any other invalid UTF-8.
bool holdsSurrogate(const char* s, size_t n) {
    for (const char* p = s; (p = static_cast<const char*>(std::memchr(p, '\xED', n - (p - s)))); ++p)
        if (p + 1 < s + n && static_cast<unsigned char>(p[1]) >= 0xA0) return true;
    return false;
}

// Passes the parser's events on to the document, numbers converted: an
// integer that fits 64 bits stays an integer, anything else is a double.
template <typename Document>
struct ExactNumbers {
    Document& doc;
    const char* refusal = nullptr;  // why a handler stopped the parser

    bool Null() { return doc.Null(); }
    bool Bool(bool b) { return doc.Bool(b); }
    bool Int(int i) { return doc.Int(i); }
    bool Uint(unsigned u) { return doc.Uint(u); }
    bool Int64(int64_t i) { return doc.Int64(i); }
    bool Uint64(uint64_t u) { return doc.Uint64(u); }
    bool Double(double d) { return doc.Double(d); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        int64_t integer;
        auto parsed = std::from_chars(text, text + length, integer);
        if (parsed.ec == std::errc() && parsed.ptr == text + length) return doc.Int64(integer);
        double value = exactDouble(text);  // the parser ends the text with a NUL
        // Past the largest double is no measurement, and no column takes it.
        if (std::isinf(value)) return refuse("Number too big to be stored in double.");
        return doc.Double(value);
    }
    bool String(const char* s, rapidjson::SizeType n, bool copy) {
        // An unpaired surrogate escape is invalid text, wherever it stands.
        return holdsSurrogate(s, n) ? refuse(kLoneSurrogate) : doc.String(s, n, copy);
    }
    bool StartObject() { return doc.StartObject(); }
    bool Key(const char* s, rapidjson::SizeType n, bool copy) {
        return holdsSurrogate(s, n) ? refuse(kLoneSurrogate) : doc.Key(s, n, copy);
    }
    bool EndObject(rapidjson::SizeType members) { return doc.EndObject(members); }
    bool StartArray() { return doc.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) { return doc.EndArray(elements); }

    // The parser's own words for a high surrogate without its pair.
    static constexpr const char* kLoneSurrogate = "The surrogate pair in string is invalid.";
    bool refuse(const char* why) {
        refusal = why;
        return false;
    }
};

// Feeds one line to a document through ExactNumbers.
struct LineParser {
    const char* data;
    size_t size;
    rapidjson::ParseResult result;
    const char* refusal = nullptr;

    template <typename Document>
    bool operator()(Document& doc) {
        ExactNumbers<Document> handler{doc};
        rapidjson::MemoryStream stream(data, size);
        rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> input(stream);
        rapidjson::Reader reader;
        result = reader.Parse<kParseFlags>(input, handler);
        refusal = handler.refusal;
        return !result.IsError();
    }
};

std::string text(const Value& v) { return std::string(v.GetString(), v.GetStringLength()); }

std::vector<Datapoint*> release(DatapointList& list) {
    std::vector<Datapoint*> raw;
    raw.reserve(list.size());
    for (auto& dp : list) raw.push_back(dp.release());
    list.clear();
    return raw;
}

// Arrays are not converted (the plugin has no column for them), but their depth
// still counts, so the limit means the same wherever the nesting is.
bool arrayWithinDepth(const Value& v, int depth) {
    if (depth > kMaxReadingNesting) return false;
    if (v.IsArray()) {
        for (const Value& element : v.GetArray())
            if ((element.IsArray() || element.IsObject()) && !arrayWithinDepth(element, depth + 1)) return false;
    } else if (v.IsObject()) {
        for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it)
            if ((it->value.IsArray() || it->value.IsObject()) && !arrayWithinDepth(it->value, depth + 1)) return false;
    }
    return true;
}

std::string tooDeep() { return "nesting deeper than " + std::to_string(kMaxReadingNesting) + " levels"; }

// Converts the members of one JSON object into datapoints, in document order.
// depth is the nesting level of obj itself.
bool convertMembers(const Value& obj, int depth, const std::string& path, DatapointList& out, std::string& error) {
    if (depth > kMaxReadingNesting) {
        error = tooDeep();
        return false;
    }
    out.reserve(obj.MemberCount());
    std::unordered_set<std::string> seen;
    for (auto it = obj.MemberBegin(); it != obj.MemberEnd(); ++it) {
        std::string name = text(it->name);
        std::string where = path.empty() ? name : path + "." + name;
        // Two members of one name would become two columns of one name.
        if (!seen.insert(name).second) {
            error = "datapoint \"" + where + "\" appears twice";
            return false;
        }
        // A top-level datapoint is a column of its own; a nested one is
        // prefixed by its parent's name, so only the former needs a name.
        if (name.empty() && path.empty()) {
            error = "a datapoint has an empty name";
            return false;
        }

        const Value& v = it->value;
        switch (v.GetType()) {
            case rapidjson::kNullType:
                continue;
            case rapidjson::kFalseType:
            case rapidjson::kTrueType:
                out.push_back(std::make_unique<Datapoint>(name, DatapointValue(v.IsTrue() ? 1L : 0L)));
                break;
            case rapidjson::kNumberType:
                if (v.IsInt64())
                    out.push_back(std::make_unique<Datapoint>(name, DatapointValue(static_cast<long>(v.GetInt64()))));
                else
                    out.push_back(std::make_unique<Datapoint>(name, DatapointValue(v.GetDouble())));
                break;
            case rapidjson::kStringType:
                out.push_back(std::make_unique<Datapoint>(name, DatapointValue(text(v))));
                break;
            case rapidjson::kObjectType: {
                DatapointList children;
                if (!convertMembers(v, depth + 1, where, children, error)) return false;
                auto* owned = new std::vector<Datapoint*>(release(children));
                out.push_back(std::make_unique<Datapoint>(name, DatapointValue(owned, true)));
                break;
            }
            case rapidjson::kArrayType:
                if (!arrayWithinDepth(v, depth + 1)) {
                    error = tooDeep();
                    return false;
                }
                out.push_back(std::make_unique<Datapoint>(name, DatapointValue::opaque(DP_FLOAT_ARRAY)));
                break;
        }
    }
    return true;
}

bool digits(const std::string& s, size_t at, size_t count, int& value) {
    if (at + count > s.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

bool isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeapYear(y) ? 29 : days[m - 1];
}

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int era = y / 400;  // y >= 0 here, so no negative division
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<int64_t>(era) * 146097 + doe - 719468;
}

bool timestampMember(const Value& doc, const char* member, int64_t now, int64_t& micros, std::string& error) {
    auto it = doc.FindMember(member);
    if (it == doc.MemberEnd() || it->value.IsNull()) {
        micros = now;
        return true;
    }
    if (!it->value.IsString()) {
        error = std::string("\"") + member + "\" is not a string";
        return false;
    }
    std::string reason;
    if (!parseUtcTimestamp(text(it->value), micros, reason)) {
        error = std::string("\"") + member + "\": " + reason;
        return false;
    }
    return true;
}

}  // namespace

bool parseUtcTimestamp(const std::string& s, int64_t& micros, std::string& error) {
    const std::string shape = "\"" + s + "\" is not YYYY-MM-DD HH:MM:SS[.ffffff][Z|+00:00]";
    int year, month, day, hour, minute, second;
    if (!digits(s, 0, 4, year) || s.size() < 19 || s[4] != '-' || !digits(s, 5, 2, month) || s[7] != '-' ||
        !digits(s, 8, 2, day) || (s[10] != ' ' && s[10] != 'T') || !digits(s, 11, 2, hour) || s[13] != ':' ||
        !digits(s, 14, 2, minute) || s[16] != ':' || !digits(s, 17, 2, second)) {
        error = shape;
        return false;
    }
    size_t at = 19;
    int64_t fraction = 0;
    if (at < s.size() && s[at] == '.') {
        size_t first = ++at;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
        size_t count = at - first;
        if (count == 0 || count > 6) {
            error = count == 0 ? shape : "\"" + s + "\" has more than six fraction digits";
            return false;
        }
        for (size_t i = first; i < first + 6; ++i) fraction = fraction * 10 + (i < at ? s[i] - '0' : 0);
    }
    std::string zone = s.substr(at);
    if (!zone.empty() && zone != "Z" && zone != "+00:00") {
        bool looksLikeOffset = zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':';
        error = looksLikeOffset ? "\"" + s + "\" is not UTC (only Z or +00:00 are accepted)" : shape;
        return false;
    }

    auto range = [&](const std::string& what) {
        error = "\"" + s + "\": " + what;
        return false;
    };
    if (year < 1) return range("year 0000 out of range");
    if (month < 1 || month > 12) return range("month " + std::to_string(month) + " out of range");
    if (day < 1 || day > daysInMonth(year, month))
        return range("day " + std::to_string(day) + " is not in month " + std::to_string(month) + " of " +
                     std::to_string(year));
    if (hour > 23) return range("hour " + std::to_string(hour) + " out of range");
    if (minute > 59) return range("minute " + std::to_string(minute) + " out of range");
    if (second > 59) return range("second " + std::to_string(second) + " out of range");

    const int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    micros = seconds * 1000000 + fraction;
    return true;
}

bool isBlankLine(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (data[i] != ' ' && data[i] != '\t' && data[i] != '\r') return false;
    return true;
}

namespace {

// The members a reading must have: a non-empty asset name and an object of
// datapoints. A one-line reason when they are not there.
const char* requiredMembersProblem(const rapidjson::Document& doc) {
    auto asset = doc.FindMember("asset");
    if (asset == doc.MemberEnd()) return "missing \"asset\"";
    if (!asset->value.IsString()) return "\"asset\" is not a string";
    if (asset->value.GetStringLength() == 0) return "\"asset\" is empty";
    auto datapoints = doc.FindMember("datapoints");
    if (datapoints == doc.MemberEnd()) return "missing \"datapoints\"";
    if (!datapoints->value.IsObject()) return "\"datapoints\" is not an object";
    return nullptr;
}

std::unique_ptr<Reading> convertReading(const rapidjson::Document& doc, std::string& error) {
    if (const char* problem = requiredMembersProblem(doc)) {
        error = problem;
        return nullptr;
    }
    auto asset = doc.FindMember("asset");
    auto datapoints = doc.FindMember("datapoints");
    // Both missing timestamps get the same instant.
    const int64_t now = Reading::nowMicros();
    int64_t userTs = 0, ts = 0;
    if (!timestampMember(doc, "user_ts", now, userTs, error) || !timestampMember(doc, "ts", now, ts, error))
        return nullptr;
    // Only the datapoints are converted; any other member of the reading
    // may still be nested too deep to be harmless later.
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
        if (it != datapoints && !arrayWithinDepth(it->value, 2)) {
            error = tooDeep();
            return nullptr;
        }
    }
    DatapointList values;
    if (!convertMembers(datapoints->value, 2, "", values, error)) return nullptr;
    return std::make_unique<Reading>(text(asset->value), release(values), userTs, ts);
}

}  // namespace

std::unique_ptr<Reading> parseReadingLine(const char* data, size_t size, std::string& error) {
    error.clear();
    try {
        // The parser takes a NUL as the end of the text, which would hide
        // whatever follows it; JSON has no place for a raw NUL anyway.
        if (size > 0 && std::memchr(data, '\0', size)) {
            error = "the line contains a NUL byte";
            return nullptr;
        }
        rapidjson::Document doc;
        LineParser parser{data, size, {}};
        doc.Populate(parser);
        if (parser.result.IsError()) {
            error = std::string("invalid JSON at column ") + std::to_string(parser.result.Offset() + 1) + ": " +
                    (parser.refusal ? parser.refusal : rapidjson::GetParseError_En(parser.result.Code()));
            return nullptr;
        }
        if (!doc.IsObject()) {
            error = "not a JSON object";
            return nullptr;
        }
        return convertReading(doc, error);
    } catch (const std::exception& e) {
        // Only allocation can fail here; report it like any other bad line.
        error = std::string("cannot convert the line: ") + e.what();
        return nullptr;
    }
}

std::string targetTableName(const Reading& reading) {
    // Without a connection the server is not known: Redshift's limits, the target's.
    return serverTableName(names::tableFor(reading), dialectFor(80002));
}
