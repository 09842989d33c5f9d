#pragma once
// The plugin's own S3 requests: one object put or deleted per request, over
// libcurl, signed by libcurl's Signature V4 and bounded by a deadline.
// Nothing here knows tables or blocks.
#include <chrono>
#include <string>
#include <string_view>

struct S3Credentials {
    std::string keyId, secret, token;  // the token only for temporary credentials
};

// What became of one request.
struct S3Reply {
    bool ok = false;
    std::string code;  // S3's error code, else the HTTP status, else libcurl's words
};

class S3Client {
public:
    using Clock = std::chrono::steady_clock;

    // `endpoint` empty: AWS's endpoint for the region; otherwise the address
    // of an S3-compatible store ("http://127.0.0.1:9000"), reached path-style.
    S3Client(std::string bucket, std::string region, std::string endpoint, S3Credentials credentials);

    S3Reply put(const std::string& key, const std::string& body, Clock::time_point deadline) const;
    // S3 answers a key that is not there as deleted.
    S3Reply remove(const std::string& key, Clock::time_point deadline) const;
    const std::string& bucket() const { return m_bucket; }

private:
    S3Reply request(const char* method, const std::string& key, const std::string& body,
                    Clock::time_point deadline) const;
    std::string url(const std::string& key) const;

    std::string m_bucket, m_region, m_endpoint;
    S3Credentials m_credentials;
};

// The SHA-256 of data, as 64 lower-case hex digits.
std::string sha256Hex(std::string_view data);
