// From datapoints to columns: valid names, column types and values.
#include "datapoint_walk.h"
#include "logger.h"
#include "names.h"
#include "redshift.h"

namespace {

void logUnsupported(const std::string& name, uint32_t type) {
    if (type == DP_IMAGE || type == DP_DATABUFFER)
        Logger::getLogger()->info(
            "Datapoint %s has image / databuffer. Image / databuffer is not supported by AWS Redshift plugin",
            name.c_str());
}

}  // namespace

void Redshift::getValidSQLName(std::string& name) { names::makeValid(name); }

void Redshift::prepareQueryData(Datapoint* dp, std::vector<std::string>& columnNames, std::vector<std::string>& types,
                                std::vector<DatapointValue>& values) {
    // The hint chooses the table; it is never a column.
    if (dp->getName() == AWS_REDSHIFT_HINT) return;
    names::walkLeaves(
        dp->getName(), *dp,
        [&](const std::string& name, const DatapointValue& value) {
            columnNames.push_back(name);
            types.push_back(typeStringFor(value.getType()));
            values.push_back(value);
        },
        logUnsupported);
}

void Redshift::flattenDatapoints(std::string prefix, Datapoint* dp, std::vector<std::string>& columnNames,
                                 std::vector<std::string>& types, std::vector<DatapointValue>& values) {
    const std::vector<Datapoint*>* children = dp->getData().getDpVec();
    if (!children) return;
    names::makeValid(prefix);
    for (Datapoint* child : *children)
        names::walkLeaves(
            prefix + "_" + child->getName(), *child,
            [&](const std::string& name, const DatapointValue& value) {
                columnNames.push_back(name);
                types.push_back(typeStringFor(value.getType()));
                values.push_back(value);
            },
            logUnsupported, true);
}
