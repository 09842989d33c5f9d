// The naming rules shared by the plugin and north-run.
#include "rules/names.h"

#include <rapidjson/document.h>

#include "logger.h"
#include "reading.h"
#include "string_utils.h"

const std::string AWS_REDSHIFT_HINT = "RedshiftHint";

namespace names {

bool isFoldedNameByte(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }

bool isNameByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::string folded(std::string name) {
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name;
}

std::string upperCased(std::string name) {
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return name;
}

void makeValid(std::string& name) {
    // One underscore per byte, so a multi-byte character becomes several.
    for (char& c : name)
        if (!isNameByte(c)) c = '_';
    // A name may not start with a digit.
    if (!name.empty() && name[0] >= '0' && name[0] <= '9') name.insert(0, "X_");
}

std::string tableFor(const Reading& reading) {
    std::string table;
    if (Datapoint* hint = reading.getDatapoint(AWS_REDSHIFT_HINT)) {
        std::string text = hint->getData().toString();
        // Hints arrive with their quotes escaped; the escapes go first.
        StringReplaceAll(text, "\\", "");
        if (!text.empty() && text[0] == '"') text = text.size() >= 2 ? text.substr(1, text.size() - 2) : "";
        rapidjson::Document doc;
        // Iterative parsing: no nesting depth can exhaust the stack.
        doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
        if (doc.HasParseError()) {
            Logger::getLogger()->debug("Could not parse AWS Redshift Hints JSON : %s ", text.c_str());
        } else if (doc.IsObject()) {
            auto member = doc.FindMember("tablename");
            if (member != doc.MemberEnd() && member->value.IsString()) table = member->value.GetString();
        }
    }
    if (table.empty()) table = reading.getAssetName();
    makeValid(table);
    return table;
}

}  // namespace names
