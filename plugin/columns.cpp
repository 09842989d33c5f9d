// From datapoints to columns: valid names, column types and values.
#include "logger.h"
#include "redshift.h"

const char* const TYPE_VARCHAR = " VARCHAR(256) ";
const char* const TYPE_BIGINT = " BIGINT ";
const char* const TYPE_REAL = " REAL ";
const char* const TYPE_TIMESTAMPTZ = " TIMESTAMPTZ ";

namespace {
bool isNameByte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}
const char* typeStringFor(uint32_t type) {
    switch (type) {
        case DP_STRING: return TYPE_VARCHAR;
        case DP_INTEGER: return TYPE_BIGINT;
        case DP_FLOAT: return TYPE_REAL;
        default: return nullptr;
    }
}
void logUnsupported(const std::string& name) {
    Logger::getLogger()->info(
        "Datapoint %s has image / databuffer. Image / databuffer is not supported by AWS Redshift plugin",
        name.c_str());
}
}  // namespace

void Redshift::getValidSQLName(std::string& name) {
    // One underscore per byte that is not a letter, digit or underscore, so a
    // multi-byte character becomes several.
    for (char& c : name)
        if (!isNameByte(c)) c = '_';
    // A name may not start with a digit.
    if (!name.empty() && name[0] >= '0' && name[0] <= '9') name.insert(0, "X_");
}

void Redshift::prepareQueryData(Datapoint* dp, std::vector<std::string>& names, std::vector<std::string>& types,
                                std::vector<DatapointValue>& values) {
    std::string name = dp->getName();
    // The hint chooses the table; it is never a column.
    if (name == AWS_REDSHIFT_HINT) return;
    getValidSQLName(name);
    const DatapointValue& value = dp->getData();
    switch (value.getType()) {
        case DP_STRING:
        case DP_INTEGER:
        case DP_FLOAT:
            names.push_back(name);
            types.push_back(typeStringFor(value.getType()));
            values.push_back(value);
            break;
        case DP_DICT:
        case DP_LIST:
            flattenDatapoints(name, dp, names, types, values);
            break;
        case DP_IMAGE:
        case DP_DATABUFFER:
            logUnsupported(name);
            break;
        default:
            break;
    }
}

void Redshift::flattenDatapoints(std::string prefix, Datapoint* dp, std::vector<std::string>& names,
                                 std::vector<std::string>& types, std::vector<DatapointValue>& values) {
    getValidSQLName(prefix);
    const std::vector<Datapoint*>* children = dp->getData().getDpVec();
    if (!children) return;
    for (Datapoint* child : *children) {
        // Every child is named from the same prefix, whatever its siblings are.
        std::string column = prefix + "_" + child->getName();
        const DatapointValue& value = child->getData();
        switch (value.getType()) {
            case DP_STRING:
            case DP_INTEGER:
            case DP_FLOAT:
                getValidSQLName(column);
                names.push_back(column);
                types.push_back(typeStringFor(value.getType()));
                values.push_back(value);
                break;
            case DP_DICT:
            case DP_LIST:
                flattenDatapoints(column, child, names, types, values);
                break;
            case DP_IMAGE:
            case DP_DATABUFFER:
                logUnsupported(child->getName());
                break;
            default:
                break;
        }
    }
}
