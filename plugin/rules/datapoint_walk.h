#pragma once
// The walk over a reading's datapoints that every part of the plugin shares:
// each value that can become a column, under the name its column is made from.
#include <string>

#include "datapoint.h"
#include "rules/names.h"

namespace names {

// Calls visit(valid column name, value) for each string, integer or float
// below `dp`, in order; a nested value's leaves are named "parent_child".
// Other kinds are passed to skipped(name, code): the valid name for a
// datapoint of the reading, the child's own name for a nested one.
template <typename Visit, typename Skipped>
void walkLeaves(std::string name, const Datapoint& dp, Visit&& visit, Skipped&& skipped, bool nested = false) {
    makeValid(name);
    const DatapointValue& value = dp.getData();
    switch (value.getType()) {
        case DP_STRING:
        case DP_INTEGER:
        case DP_FLOAT:
            visit(name, value);
            return;
        case DP_DICT:
        case DP_LIST:
            if (const std::vector<Datapoint*>* children = value.getDpVec())
                // Every child is named from the same prefix, whatever its siblings are.
                for (const Datapoint* child : *children) walkLeaves(name + "_" + child->getName(), *child, visit, skipped, true);
            return;
        default:
            skipped(nested ? dp.getName() : name, value.getType());
            return;
    }
}

// Every leaf of every datapoint of a reading except the hint.
template <typename Datapoints, typename Visit, typename Skipped>
void walkReading(const Datapoints& datapoints, Visit&& visit, Skipped&& skipped) {
    for (const Datapoint* dp : datapoints)
        if (dp->getName() != AWS_REDSHIFT_HINT) walkLeaves(dp->getName(), *dp, visit, skipped);
}

}  // namespace names
