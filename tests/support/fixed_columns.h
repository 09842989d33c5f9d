#pragma once
// The four columns every table the plugin makes starts with, as the schema
// cache holds them.
#include "redshift.h"

namespace testsupport {

inline const ColumnList kFixed = {{"asset_code", " VARCHAR(256) "},
                                  {"user_ts", " TIMESTAMPTZ "},
                                  {"ts", " TIMESTAMPTZ "},
                                  {"vantrel", " VARCHAR(256) "}};

// The fixed columns followed by these.
inline ColumnList withFixed(const ColumnList& more) {
    ColumnList columns = kFixed;
    columns.insert(columns.end(), more.begin(), more.end());
    return columns;
}

}  // namespace testsupport
