#include "staging/staging.h"

#include <zlib.h>

#include <cstdlib>
#include <map>

#include "logger.h"
#include "rules/names.h"
#include "rules/sql_names.h"

namespace {

// After a failure that is no row's, staging rests this long, and the
// operator hears of failures no more often than this.
constexpr std::chrono::seconds REST{60};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A value that goes into a COPY's quotes as it is, and into a manifest's
// JSON: no quote, no backslash (which Redshift's literals read as an
// escape), no control character. No name, region, ARN or key of AWS holds one.
bool quotable(const std::string& value) {
    for (unsigned char c : value)
        if (c < 0x20 || c == 0x7f || c == '\'' || c == '"' || c == '\\') return false;
    return true;
}

}  // namespace

struct Gzip::Stream {
    z_stream z{};
};

Gzip::Gzip() : m_stream(std::make_unique<Stream>()) {
    // 16 + 15: a gzip header around a full window. The fastest level: the
    // text is compressed once, on the machine that also builds every row.
    deflateInit2(&m_stream->z, Z_BEST_SPEED, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY);
}

Gzip::~Gzip() { deflateEnd(&m_stream->z); }

void Gzip::deflateSome(int flush) {
    z_stream& z = m_stream->z;
    z.next_in = reinterpret_cast<Bytef*>(m_in.data());
    z.avail_in = static_cast<uInt>(m_in.size());
    unsigned char chunk[65536];
    do {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        deflate(&z, flush);
        m_out.append(reinterpret_cast<char*>(chunk), sizeof chunk - z.avail_out);
    } while (z.avail_out == 0 || z.avail_in > 0);
    m_in.clear();
}

void Gzip::write(std::string_view text) {
    // Rows are short: zlib gets them a quarter of a megabyte at a time.
    m_in.append(text.data(), text.size());
    if (m_in.size() >= 256 * 1024) deflateSome(Z_NO_FLUSH);
}

const std::string& Gzip::finish() {
    deflateSome(Z_FINISH);
    return m_out;
}

void Staging::configure(const ConfigCategory* config) {
    std::string bucket = config->getValue("s3Bucket");
    m_prefix = config->getValue("s3Prefix");
    m_region = config->getValue("s3Region");
    std::string endpoint = config->getValue("s3Endpoint");
    m_role = config->getValue("iamRole");
    m_credentials = {config->getValue("s3AccessKeyId"), config->getValue("s3SecretAccessKey"), ""};
    if (m_credentials.keyId.empty()) m_credentials.keyId = environment("AWS_ACCESS_KEY_ID");
    // Temporary credentials come whole from the environment, never refreshed.
    if (m_credentials.secret.empty()) {
        m_credentials.secret = environment("AWS_SECRET_ACCESS_KEY");
        m_credentials.token = environment("AWS_SESSION_TOKEN");
    }
    std::string threshold = config->getValue("copyThreshold");
    char* end = nullptr;
    long long rows = std::strtoll(threshold.c_str(), &end, 10);
    m_threshold = 5000;
    if (!threshold.empty() && !*end && rows >= 1)
        m_threshold = static_cast<size_t>(rows);
    else
        Logger::getLogger()->error("AWS Redshift - copyThreshold \"%s\" is no whole number of at least 1: tables of "
                                   "5000 rows or more go by COPY",
                                   threshold.c_str());
    m_client.reset();
    m_pausedUntil = m_lastLine = Clock::time_point();
    if (bucket.empty()) return;
    const char* unusable = nullptr;
    // The secret and the token are named, never shown.
    const std::pair<const char*, const std::string*> items[] = {
        {"s3Bucket", &bucket}, {"s3Prefix", &m_prefix}, {"s3Region", &m_region}, {"iamRole", &m_role},
        {"s3AccessKeyId", &m_credentials.keyId}, {"s3SecretAccessKey", &m_credentials.secret},
        {"AWS_SESSION_TOKEN", &m_credentials.token}};
    for (const auto& item : items)
        if (!quotable(*item.second)) unusable = item.first;
    if (m_credentials.keyId.empty() || m_credentials.secret.empty()) unusable = "s3AccessKeyId and s3SecretAccessKey";
    if (m_region.empty()) unusable = "s3Region";
    if (unusable) {
        bool empty = m_region.empty() || m_credentials.keyId.empty() || m_credentials.secret.empty();
        Logger::getLogger()->error("AWS Redshift - S3 bucket %s cannot be used: %s %s; every row goes by INSERT",
                                   bucket.c_str(), unusable,
                                   empty ? "is empty" : "holds a quote, a backslash or a control character");
        return;
    }
    m_client = std::make_unique<S3Client>(bucket, m_region, endpoint, m_credentials);
    Logger::getLogger()->info("AWS Redshift - tables of %zu rows or more in a block are staged in S3 bucket %s and "
                              "loaded by COPY",
                              m_threshold, bucket.c_str());
}

void Staging::stage(const std::vector<Reading*>& readings, const BlockTables& tables, const BatchBuilder& builder,
                    BlockRows& rows, StagingTry& attempt) {
    if (!on()) return;
    std::map<std::string, size_t> counts;
    for (size_t position = 0; position < tables.keys.size(); ++position)
        if (!rows.rowless(position) && tables.ready.count(tables.keys[position])) ++counts[tables.keys[position]];
    std::string instance = attempt.instance;
    names::makeValid(instance);
    const std::string folder =
        m_prefix + names::folded(instance) + "/" + attempt.runId + "/" + attempt.blockId + "/";
    for (const auto& count : counts) {
        const std::string& table = count.first;
        if (count.second < m_threshold || attempt.byInsert.count(table)) continue;
        // A failure of one table rests staging for the others too.
        if (!on()) return;
        // The rows are compressed as they are written; the text is not kept.
        Gzip gzip;
        BlockRows notes;
        std::string columns;
        auto line = [&gzip](const std::string& text) { gzip.write(text); };
        if (!builder.writeCsv(readings, tables, table, rows, line, columns, notes)) continue;
        const std::string data = folder + table + ".csv.gz", manifest = folder + table + ".manifest";
        S3Reply put = m_client->put(data, gzip.finish(), m_session.requestDeadline());
        if (put.ok) {
            attempt.objects.push_back(data);
            // A bare key would be a prefix to COPY: ".../pump" also loads ".../pump2".
            put = m_client->put(manifest,
                                "{\"entries\":[{\"url\":\"s3://" + m_client->bucket() + "/" + data +
                                    "\",\"mandatory\":true}]}",
                                m_session.requestDeadline());
        }
        if (!put.ok) {
            failed(table, put.code);
            continue;
        }
        attempt.objects.push_back(manifest);
        rows.copies[table] = copyStatement(table, columns, manifest);
        rows.rejects.insert(rows.rejects.end(), notes.rejects.begin(), notes.rejects.end());
        rows.changes.add(notes.changes);
    }
}

std::string Staging::copyStatement(const std::string& table, const std::string& columns,
                                   const std::string& manifest) const {
    std::string sql = "COPY " + sqlIdentifier(table) + " ( " + columns + ") FROM 's3://" + m_client->bucket() + "/" +
                      manifest + "' ";
    // The role Redshift assumes is the recommended way; otherwise the COPY
    // carries the plugin's own credentials, which no log line shows.
    if (!m_role.empty())
        sql += "IAM_ROLE '" + m_role + "'";
    else
        sql += "ACCESS_KEY_ID '" + m_credentials.keyId + "' SECRET_ACCESS_KEY '" + m_credentials.secret + "'" +
               (m_credentials.token.empty() ? "" : " SESSION_TOKEN '" + m_credentials.token + "'");
    // No TIMEFORMAT: the timestamps are in the form a TIMESTAMPTZ reads by
    // default, and a TIMEFORMAT could not hold their offset.
    return sql + " FORMAT AS CSV GZIP MANIFEST REGION '" + m_region + "' COMPUPDATE OFF STATUPDATE OFF";
}

std::string Staging::scrubbed(std::string text) const {
    for (const std::string* secret : {&m_credentials.secret, &m_credentials.token})
        for (size_t at; !secret->empty() && (at = text.find(*secret)) != std::string::npos;)
            text.replace(at, secret->size(), "***");
    return text;
}

void Staging::copyFailed(const std::string& table, const std::string& reason, bool rowsToBlame) {
    std::string why = scrubbed(reason);
    if (!rowsToBlame) return failed(table, why);
    Logger::getLogger()->info("AWS Redshift - %s (COPY into %s): its rows go by INSERT, where refused readings are "
                              "found and kept",
                              why.c_str(), table.c_str());
}

void Staging::failed(const std::string& table, const std::string& code) {
    Clock::time_point now = Clock::now();
    m_pausedUntil = now + REST;
    if (m_lastLine != Clock::time_point() && now - m_lastLine < REST) return;
    m_lastLine = now;
    Logger::getLogger()->error("AWS Redshift - staging in S3 bucket %s failed (%s; role %s): table %s goes by "
                               "INSERT, and every table does for a minute",
                               m_client->bucket().c_str(), scrubbed(code).c_str(),
                               m_role.empty() ? "none, the plugin's key" : m_role.c_str(), table.c_str());
}

void Staging::discard(std::vector<std::string>& objects) {
    if (objects.empty() || !m_client) return;
    for (size_t done = 0; done < objects.size(); ++done) {
        S3Reply reply = m_client->remove(objects[done], m_session.requestDeadline());
        if (reply.ok) continue;
        // A store that does not answer would cost a deadline per object.
        Logger::getLogger()->error("AWS Redshift - %zu staged object(s) in S3 bucket %s were not deleted (%s), "
                                   "such as %s; a lifecycle rule on the prefix removes them",
                                   objects.size() - done, m_client->bucket().c_str(), reply.code.c_str(),
                                   objects[done].c_str());
        break;
    }
    objects.clear();
}
