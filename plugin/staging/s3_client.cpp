// S3 requests through libcurl's easy interface, one handle per request.
// The signature is libcurl's own (CURLOPT_AWS_SIGV4); what it leaves to the
// caller is the payload's hash. libcurl 7.88 signs the SHA-256 of the body
// it sends (CURLOPT_POSTFIELDS) but adds no x-amz-content-sha256 header,
// which S3 requires; libcurl 8 takes the header's value when one is given.
// So the body always goes as POSTFIELDS and the header always carries the
// body's hash: both versions then sign what S3 checks.
#include "staging/s3_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <mutex>

namespace {

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// A key as the URL's path: every byte but the unreserved ones and '/' is
// percent-encoded, which is also how the signature's canonical path has it.
std::string encodedKey(const std::string& key) {
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : key) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

// The <Code> of S3's error document, else the HTTP status.
std::string errorCode(const std::string& body, long status) {
    size_t open = body.find("<Code>"), close = body.find("</Code>");
    if (open != std::string::npos && close != std::string::npos && close > open + 6)
        return body.substr(open + 6, close - open - 6);
    return "HTTP " + std::to_string(status);
}

}  // namespace

S3Client::S3Client(std::string bucket, std::string region, std::string endpoint, S3Credentials credentials)
    : m_bucket(std::move(bucket)), m_region(std::move(region)), m_endpoint(std::move(endpoint)),
      m_credentials(std::move(credentials)) {
    static std::once_flag global;
    std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (!m_endpoint.empty() && m_endpoint.find("://") == std::string::npos) m_endpoint = "https://" + m_endpoint;
    while (!m_endpoint.empty() && m_endpoint.back() == '/') m_endpoint.pop_back();
}

std::string S3Client::url(const std::string& key) const {
    if (!m_endpoint.empty()) return m_endpoint + "/" + m_bucket + "/" + encodedKey(key);
    // A bucket name with dots does not match the certificate of a
    // virtual-hosted address: it is reached path-style.
    if (m_bucket.find('.') != std::string::npos)
        return "https://s3." + m_region + ".amazonaws.com/" + m_bucket + "/" + encodedKey(key);
    return "https://" + m_bucket + ".s3." + m_region + ".amazonaws.com/" + encodedKey(key);
}

S3Reply S3Client::put(const std::string& key, const std::string& body, Clock::time_point deadline) const {
    return request("PUT", key, body, deadline);
}

S3Reply S3Client::remove(const std::string& key, Clock::time_point deadline) const {
    return request("DELETE", key, "", deadline);
}

S3Reply S3Client::request(const char* method, const std::string& key, const std::string& body,
                          Clock::time_point deadline) const {
    S3Reply reply;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
        reply.code = "no time left before the deadline";
        return reply;
    }
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, curl_slist_free_all);
    auto header = [&](const std::string& line) { headers.reset(curl_slist_append(headers.release(), line.c_str())); };
    header("x-amz-content-sha256: " + sha256Hex(body));
    // Every header given here is signed, the token with the rest.
    if (!m_credentials.token.empty()) header("x-amz-security-token: " + m_credentials.token);
    // Named, so libcurl adds no form type of its own. ("Expect:" to drop
    // its 100-continue would be signed as an empty header it never sends.)
    if (!body.empty()) header("Content-Type: application/octet-stream");
    if (!curl || !headers) {
        reply.code = "out of memory";
        return reply;
    }
    // All four fields: from 127.0.0.1 or bucket.s3.<region>.amazonaws.com
    // libcurl would guess region and service wrong.
    const std::string sigv4 = "aws:amz:" + m_region + ":s3", address = url(key);
    std::string answer;
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, address.c_str());
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(handle, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(handle, CURLOPT_USERNAME, m_credentials.keyId.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, m_credentials.secret.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(left));
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
    if (!body.empty()) {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    }
    CURLcode done = curl_easy_perform(handle);
    if (done != CURLE_OK) {
        reply.code = curl_easy_strerror(done);
        return reply;
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    reply.ok = status / 100 == 2;
    if (!reply.ok) reply.code = errorCode(answer, status);
    return reply;
}

std::string sha256Hex(std::string_view data) {
    static const uint32_t K[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    auto block = [&](const unsigned char* p) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
        for (int i = 16; i < 64; ++i)
            w[i] = w[i - 16] + (rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
                   (rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10));
        uint32_t v[8];
        std::copy(h, h + 8, v);
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) + ((v[4] & v[5]) ^ (~v[4] & v[6])) +
                          K[i] + w[i];
            uint32_t t2 = (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) +
                          ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
            std::copy_backward(v, v + 7, v + 8);
            v[4] += t1;
            v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    };
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    size_t whole = data.size() / 64 * 64;
    for (size_t at = 0; at < whole; at += 64) block(bytes + at);
    // The tail, a 1 bit, zeros, and the length in bits: one block or two.
    unsigned char tail[128] = {};
    size_t rest = data.size() - whole, padded = rest < 56 ? 64 : 128;
    std::copy(bytes + whole, bytes + data.size(), tail);
    tail[rest] = 0x80;
    uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    for (int i = 0; i < 8; ++i) tail[padded - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    for (size_t at = 0; at < padded; at += 64) block(tail + at);
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (uint32_t word : h)
        for (int shift = 28; shift >= 0; shift -= 4) out += HEX[(word >> shift) & 15];
    return out;
}
