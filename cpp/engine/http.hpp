// One HTTP exchange with the store through a libcurl easy handle: the request signed,
// its body read from a file or memory, the reply's body written to a file or memory, and
// what came back checked (status, ranges, lengths).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "engine/sigv4.hpp"

namespace qe {

class Pipe;

struct Endpoint {
    std::string scheme;         // "http" or "https"
    std::string host;           // host[:port], as the Host header says it
    bool virtual_host = false;  // bucket.host/key instead of host/bucket/key
    std::string ca_file;        // empty: libcurl's default
    long connect_timeout_ms = 300000;
    long read_timeout_s = 300;  // a reply that sends no byte for this long is dropped
};

// Where a request's body comes from: length bytes of a file at offset, or of memory.
struct Body {
    int fd = -1;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    const unsigned char* memory = nullptr;
};

// Where a successful GET's body goes: a file from offset on, memory, or a pipe to a reader.
struct Sink {
    int fd = -1;
    std::int64_t offset = 0;
    unsigned char* memory = nullptr;
    std::int64_t capacity = 0;
    Pipe* pipe = nullptr;
};

enum class Fault : std::uint8_t {
    none,
    transport,  // curl_code says what
    local,      // reading or writing a local file failed: local_errno
    reply,      // the reply is not what was asked for (fault_text)
    cancelled,
};

struct Exchange {
    // The request.
    std::string method = "GET";
    std::string bucket;
    std::string key;
    Pairs query;
    Pairs headers;  // besides Host, the date, the payload hash and Authorization
    Body body;
    std::string payload_hash;  // hex SHA-256 of the body
    // What the reply must be, and where its body goes.
    bool ranged = false;
    std::int64_t range_start = 0;
    std::int64_t range_length = 0;
    bool want_md5 = false;
    Sink sink;
    bool to_sink = false;
    // The reply.
    long status = 0;
    Pairs reply_headers;        // names in lower case
    std::string reply_body;     // of an error, or the XML of a copy
    std::int64_t received = 0;  // body bytes written to the sink
    std::string md5_hex;
    Fault fault = Fault::none;
    int curl_code = 0;
    std::string fault_text;
    int local_errno = 0;

    void clear_reply();
    [[nodiscard]] const std::string* reply_header(const std::string& name) const;
};

// A reusable easy handle: its connection is kept open between exchanges.
class Connection {
public:
    Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Runs one exchange; the outcome is in ``exchange``.  ``on_bytes`` hears of body bytes
    // sent or received as they go.  Never throws for what the network or the store does.
    void perform(const Endpoint& endpoint, const Credentials& credentials,
                 const std::string& region, Exchange& x, const std::atomic<bool>& cancel,
                 const std::function<void(std::int64_t)>& on_bytes);

private:
    CURL* handle_;
    // Body bytes bound for a file, gathered into one pwrite: libcurl hands a reply over in
    // pieces of 16 KiB, and a pwrite each costs more than the copy into here.
    std::vector<char> staging_;
};

// The path (and query) a request for ``bucket``/``key`` is sent to, encoded.
std::string request_path(const Endpoint& endpoint, const std::string& bucket,
                         const std::string& key);

// A request as it goes on the wire: where to, and every header line but the ones libcurl
// adds itself (User-Agent, Content-Length).
struct SignedRequest {
    std::string host;           // the Host header: bucket.host in virtual-host style
    std::string target;         // the encoded path and query
    Pairs headers;              // the caller's, then host, x-amz-date, x-amz-content-sha256 (and
                                // x-amz-security-token); every one of them signed
    std::string authorization;  // empty when the request goes unsigned
};

// The request ``method`` on ``bucket``/``key`` with ``query`` and ``headers``, signed for
// ``region`` at ``amz_date`` ("YYYYMMDDTHHMMSSZ").  What perform() sends, and sign() shows.
SignedRequest sign_request(const Endpoint& endpoint, const Credentials& credentials,
                           const std::string& region, const std::string& method,
                           const std::string& bucket, const std::string& key, const Pairs& query,
                           const Pairs& headers, const std::string& payload_hash,
                           const std::string& amz_date);

// The text of an XML element <name>...</name> of ``xml``, unescaped; empty when absent.
std::string xml_text(const std::string& xml, const std::string& name);

}  // namespace qe
