#pragma once
// Owners for what libpq hands out, so that nothing leaks on any path: a
// connection that failed to open is still a PGconn to finish, and an error
// result is still a PGresult to clear.
#include <libpq-fe.h>

#include <memory>

struct PqConnectionClose {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct PqResultClear {
    void operator()(PGresult* result) const { PQclear(result); }
};

using PqConnection = std::unique_ptr<PGconn, PqConnectionClose>;
using PqResult = std::unique_ptr<PGresult, PqResultClear>;
