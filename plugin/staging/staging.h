#pragma once
// Staging: the large tables of a block go to S3 as gzip-compressed CSV,
// each with a manifest naming exactly its file, and are loaded by a COPY
// inside the block's own transaction; the rest go by INSERT as before.
// Staging only ever speeds a table up: whatever fails here sends that table
// by INSERT, and the operator hears of it once a minute at most.
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "rows/batch_builder.h"
#include "rows/block_rows.h"
#include "schema/block_tables.h"
#include "config_category.h"
#include "staging/s3_client.h"
#include "session/session.h"

// Text compressed as it is written, into one gzip member.
class Gzip {
public:
    Gzip();
    ~Gzip();
    Gzip(const Gzip&) = delete;
    Gzip& operator=(const Gzip&) = delete;
    void write(std::string_view text);
    // The compressed text, complete; nothing may be written after.
    const std::string& finish();

private:
    void deflateSome(int flush);
    struct Stream;
    std::unique_ptr<Stream> m_stream;
    std::string m_in, m_out;
};

// One try of a block, as staging sees it.
struct StagingTry {
    const std::string& instance;
    const std::string& runId;
    const std::string& blockId;
    const std::set<std::string>& byInsert;  // tables that go by INSERT for the rest of the call
    std::vector<std::string>& objects;      // keys put in this call, deleted when it ends
};

class Staging {
public:
    using Clock = std::chrono::steady_clock;

    explicit Staging(Session& session) : m_session(session) {}

    // Reads the S3 items of the configuration. An empty bucket, or one that
    // cannot work (no key, a value no COPY can quote), sends every row by
    // INSERT; the latter says so in an error line.
    void configure(const ConfigCategory* config);

    // Each ready table of the block with at least the threshold's rows
    // (refused ones aside) that is not in `attempt.byInsert`: its rows go
    // to S3 and its COPY into `rows.copies`, its changed readings into
    // `rows`. A table that cannot be staged is left to its INSERT.
    void stage(const std::vector<Reading*>& readings, const BlockTables& tables, const BatchBuilder& builder,
               BlockRows& rows, StagingTry& attempt);
    // A COPY failed: for a row's sake (`rowsToBlame`), or for anything else
    // (the bucket, the role, the region), which the operator hears of.
    void copyFailed(const std::string& table, const std::string& why, bool rowsToBlame);
    // Deletes the objects, best effort: what is left waits for the bucket's
    // lifecycle rule.
    void discard(std::vector<std::string>& objects);

private:
    bool on() const { return m_client && Clock::now() >= m_pausedUntil; }
    // The once-a-minute line; staging rests for a minute.
    void failed(const std::string& table, const std::string& code);
    std::string copyStatement(const std::string& table, const std::string& columns, const std::string& manifest) const;
    // A server's or a store's words with the plugin's secret and token as ***:
    // a server may quote the statement it failed on.
    std::string scrubbed(std::string text) const;

    Session& m_session;
    std::unique_ptr<S3Client> m_client;
    std::string m_prefix, m_region, m_role;
    S3Credentials m_credentials;
    size_t m_threshold = 5000;
    Clock::time_point m_pausedUntil, m_lastLine;
};
