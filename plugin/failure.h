#pragma once
// What a failed statement means for the plugin, decided by SQLSTATE alone.
#include <string>

enum class Failure {
    Lost,          // the connection broke or the server is going away: reconnect, run again
    AlreadyThere,  // a table or column that DDL wanted to make exists already
    Undefined,     // a table or column is gone: the cache is stale
    RowData,       // particular rows were refused: find them, write the others
    NoPrivilege,   // the role may not do this
    Other,         // anything else: the block waits for the host's next try
};

// An empty SQLSTATE means the connection broke before the server said why.
Failure classify(const std::string& sqlstate);
