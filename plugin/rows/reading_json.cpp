#include "rows/reading_json.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>

#include "rules/fnv1a.h"
#include "reading.h"

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void writeString(Writer& writer, const std::string& text) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

void writeValue(Writer& writer, const DatapointValue& value) {
    switch (value.getType()) {
        case DP_STRING: writeString(writer, value.toString()); break;
        case DP_INTEGER: writer.Int64(value.toInt()); break;
        case DP_FLOAT:
            if (std::isfinite(value.toDouble()))
                writer.Double(value.toDouble());
            else
                writeString(writer, value.toString());
            break;
        case DP_DICT:
        case DP_LIST:
            writer.StartObject();
            if (const auto* children = value.getDpVec())
                for (const Datapoint* child : *children) {
                    writeString(writer, child->getName());
                    writeValue(writer, child->getData());
                }
            writer.EndObject();
            break;
        default:
            // Arrays, images and buffers carry no payload the plugin can read.
            writeString(writer, "(datapoint of type " + std::to_string(value.getType()) + ")");
            break;
    }
}

}  // namespace

std::string readingJson(const Reading& reading) {
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    writer.Key("asset");
    writeString(writer, reading.getAssetName());
    writer.Key("user_ts");
    writeString(writer, reading.getAssetDateUserTime(Reading::FMT_DEFAULT, true));
    writer.Key("ts");
    writeString(writer, reading.getAssetDateTime(Reading::FMT_DEFAULT, true));
    writer.Key("datapoints");
    writer.StartObject();
    for (const Datapoint* dp : reading.getReadingData()) {
        writeString(writer, dp->getName());
        writeValue(writer, dp->getData());
    }
    writer.EndObject();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

uint64_t readingFingerprint(const Reading& reading) { return fnv1a(readingJson(reading)); }
