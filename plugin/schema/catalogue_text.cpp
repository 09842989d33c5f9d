// The schema cache as a JSON text, kept by the host between runs.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "logger.h"
#include "rules/names.h"
#include "schema/catalogue.h"

std::string Catalogue::serializeCache() const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("Items");
    writer.StartArray();
    for (const auto& entry : m_cache.tables()) {
        writer.StartObject();
        writer.Key("tablename");
        writer.String(entry.first.data(), static_cast<rapidjson::SizeType>(entry.first.size()));
        const ColumnList& columns = entry.second.columns();
        for (size_t i = 0; i < columns.size(); ++i) {
            std::string key = "col_" + std::to_string(i);
            writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
            writer.StartObject();
            writer.Key("Name");
            writer.String(columns[i].first.data(), static_cast<rapidjson::SizeType>(columns[i].first.size()));
            writer.Key("Type");
            writer.String(columns[i].second.data(), static_cast<rapidjson::SizeType>(columns[i].second.size()));
            writer.EndObject();
        }
        writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

namespace {
struct InvalidCache {};

std::string text(const rapidjson::Value& value) { return std::string(value.GetString(), value.GetStringLength()); }
}  // namespace

int Catalogue::deserializeCache(const std::string& stored) {
    // Replaces, never merges: a rejected text leaves an empty cache.
    m_cache.clear();
    // Nothing stored is a first start, not a broken cache.
    if (stored.empty()) {
        Logger::getLogger()->info("No stored schema cache: starting with an empty one");
        return -1;
    }
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag>(stored.data(), stored.size());
    // A raw NUL is never valid JSON, though the parser would stop at it
    // and take the text before it.
    if (doc.HasParseError() || stored.find('\0') != std::string::npos) {
        Logger::getLogger()->error("Could not parse stored cache json");
        return -1;
    }
    if (!doc.IsObject()) return 0;
    auto items = doc.FindMember("Items");
    if (items == doc.MemberEnd() || !items->value.IsArray()) return 0;
    try {
        for (const auto& element : items->value.GetArray()) {
            if (!element.IsObject()) throw InvalidCache();
            auto name = element.FindMember("tablename");
            if (name == element.MemberEnd() || !name->value.IsString()) throw InvalidCache();
            ColumnList columns;
            for (const auto& member : element.GetObject()) {
                if (text(member.name) == "tablename" || !member.value.IsObject()) continue;
                auto columnName = member.value.FindMember("Name");
                auto columnType = member.value.FindMember("Type");
                if (columnName == member.value.MemberEnd() || columnType == member.value.MemberEnd()) continue;
                if (!columnName->value.IsString() || !columnType->value.IsString()) throw InvalidCache();
                // Member keys play no part: the text's order is the column order.
                columns.emplace_back(text(columnName->value), text(columnType->value));
            }
            // One table under several letter cases is one entry with all
            // their columns: the database keeps the name folded.
            m_cache.merge(names::folded(text(name->value)), columns);
        }
    } catch (...) {
        // The tables read before the fault stay; the rest is learnt again
        // from the database.
        Logger::getLogger()->info("Stored cache JSON is invalid. Continuing without reloading stored cache");
    }
    return 0;
}
