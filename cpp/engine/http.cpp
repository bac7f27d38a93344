#include "engine/http.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "engine/digest.hpp"
#include "engine/stream.hpp"

namespace qe {

namespace {

constexpr std::size_t max_reply_body = 1U << 20U;  // of an error or a copy's answer
constexpr std::size_t staging_size = 1U << 20U;    // bytes bound for a file, per pwrite

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::string strip(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// What the callbacks of one exchange share.
struct Transfer {
    Exchange* exchange;
    CURL* handle;
    const std::atomic<bool>* cancel;
    const std::function<void(std::int64_t)>* on_bytes;
    std::int64_t sent = 0;     // body bytes handed to libcurl, from where it last seeked
    std::int64_t counted = 0;  // the most of them told to on_bytes: each byte counted once
    bool checked = false;      // the status and the range were looked at
    bool sinking = false;      // the body goes to the sink
    Digest* md5 = nullptr;
    std::vector<char>* staging = nullptr;  // a file sink's bytes not yet written
    std::size_t staged = 0;                // how many of them there are
};

// Writes the staged bytes of a file sink at their offset; false sets the fault.
bool flush_staged(Transfer& t) {
    Exchange& x = *t.exchange;
    const char* data = t.staging->data();
    const off_t at = x.sink.offset + x.received - static_cast<off_t>(t.staged);
    std::size_t done = 0;
    while (done < t.staged) {
        const ssize_t wrote =
            pwrite(x.sink.fd, data + done, t.staged - done, at + static_cast<off_t>(done));
        if (wrote < 0) {
            if (errno == EINTR) continue;
            x.fault = Fault::local;
            x.local_errno = errno;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    t.staged = 0;
    return true;
}

// Whether the reply's status and Content-Range answer the request; false sets the fault.
bool check_reply(Transfer& t) {
    Exchange& x = *t.exchange;
    long status = 0;
    curl_easy_getinfo(t.handle, CURLINFO_RESPONSE_CODE, &status);
    x.status = status;
    t.checked = true;
    if (!x.to_sink || status < 200 || status > 299) return true;
    if (x.ranged) {
        const std::string* range = x.reply_header("content-range");
        long long first = -1;
        long long last = -1;
        if (status != 206 || range == nullptr ||
            std::sscanf(range->c_str(), "bytes %lld-%lld/", &first, &last) != 2 ||
            first != x.range_start || last != x.range_start + x.range_length - 1) {
            x.fault = Fault::reply;
            x.fault_text = "a ranged GET was answered with status " + std::to_string(status) +
                           " and Content-Range " + (range ? "'" + *range + "'" : "none") +
                           ", not the bytes " + std::to_string(x.range_start) + "-" +
                           std::to_string(x.range_start + x.range_length - 1);
            return false;
        }
    } else if (status != 200) {
        x.fault = Fault::reply;
        x.fault_text =
            "a GET of the whole object was answered with status " + std::to_string(status);
        return false;
    }
    t.sinking = true;
    return true;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto& x = *static_cast<Transfer*>(user)->exchange;
    const std::string line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        x.reply_headers.clear();  // a new reply (after 100 Continue)
    } else if (const auto colon = line.find(':'); colon != std::string::npos) {
        x.reply_headers.emplace_back(lower(line.substr(0, colon)), strip(line.substr(colon + 1)));
    }
    return size * count;
}

std::size_t on_write(char* data, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    Exchange& x = *t.exchange;
    const std::size_t n = size * count;
    if (!t.checked && !check_reply(t)) return 0;  // anything but n stops the transfer
    if (!t.sinking) {
        // An error's body is kept up to a cap; the rest is read and dropped, so that a long
        // page of a failing server is still the server's failure, not ours.
        x.reply_body.append(data, std::min(n, max_reply_body - x.reply_body.size()));
        return n;
    }
    if (x.ranged && x.received + static_cast<std::int64_t>(n) > x.range_length) {
        x.fault = Fault::reply;
        x.fault_text = "a ranged GET sent more bytes than were asked for";
        return 0;  // anything but n stops the transfer
    }
    if (x.sink.pipe != nullptr) {
        if (!x.sink.pipe->push(data, n)) {
            x.fault = Fault::cancelled;  // the reader has gone
            return 0;                    // anything but n stops the transfer
        }
    } else if (x.sink.memory != nullptr) {
        if (x.received + static_cast<std::int64_t>(n) > x.sink.capacity) {
            x.fault = Fault::reply;
            x.fault_text = "the reply holds more bytes than its buffer takes";
            return 0;  // anything but n stops the transfer
        }
        std::memcpy(x.sink.memory + x.received, data, n);
    } else {
        std::vector<char>& staging = *t.staging;
        if (t.staged + n > staging.size() && !flush_staged(t)) {
            return 0;  // anything but n stops the transfer
        }
        if (n > staging.size()) staging.resize(n);
        std::memcpy(staging.data() + t.staged, data, n);
        t.staged += n;
    }
    if (t.md5 != nullptr) t.md5->update(data, n);
    x.received += static_cast<std::int64_t>(n);
    (*t.on_bytes)(static_cast<std::int64_t>(n));
    return n;
}

std::size_t on_read(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    Exchange& x = *t.exchange;
    const std::int64_t left = x.body.length - t.sent;
    const auto n = static_cast<std::size_t>(
        std::min<std::int64_t>(left, static_cast<std::int64_t>(size * count)));
    if (n == 0) return 0;
    if (x.body.memory != nullptr) {
        std::memcpy(buffer, x.body.memory + t.sent, n);
    } else {
        std::size_t done = 0;
        while (done < n) {
            const ssize_t got = pread(x.body.fd, buffer + done, n - done,
                                      x.body.offset + t.sent + static_cast<off_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                x.fault = Fault::local;
                x.local_errno = got < 0 ? errno : 0;
                x.fault_text = got < 0 ? "" : "the file became shorter while it was sent";
                return CURL_READFUNC_ABORT;
            }
            done += static_cast<std::size_t>(got);
        }
    }
    t.sent += static_cast<std::int64_t>(n);
    if (t.sent > t.counted) {
        (*t.on_bytes)(t.sent - t.counted);
        t.counted = t.sent;
    }
    return n;
}

// libcurl sends a body again from its start when a kept-alive connection turned out to be
// closed by the server under it (and then repeats the request on a new one).
int on_seek(void* user, curl_off_t offset, int origin) {
    auto& t = *static_cast<Transfer*>(user);
    if (origin != SEEK_SET || offset < 0 || offset > t.exchange->body.length) {
        return CURL_SEEKFUNC_CANTSEEK;
    }
    t.sent = offset;
    return CURL_SEEKFUNC_OK;
}

int on_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& t = *static_cast<Transfer*>(user);
    return t.cancel->load(std::memory_order_relaxed) ? 1 : 0;
}

class HeaderList {
public:
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    ~HeaderList() { curl_slist_free_all(list_); }
    void add(const std::string& line) {
        curl_slist* grown = curl_slist_append(list_, line.c_str());
        if (grown == nullptr) throw std::bad_alloc();
        list_ = grown;
    }
    [[nodiscard]] curl_slist* get() const { return list_; }

private:
    curl_slist* list_ = nullptr;
};

std::string unescape(const std::string& text) {
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto& [name, c] : entities) {
                if (text.compare(i, std::strlen(name), name) == 0) {
                    out.push_back(c);
                    i += std::strlen(name) - 1;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out.push_back(text[i]);
    }
    return out;
}

}  // namespace

void Exchange::clear_reply() {
    status = 0;
    reply_headers.clear();
    reply_body.clear();
    received = 0;
    md5_hex.clear();
    fault = Fault::none;
    curl_code = 0;
    fault_text.clear();
    local_errno = 0;
}

const std::string* Exchange::reply_header(const std::string& name) const {
    for (const auto& [header, value] : reply_headers) {
        if (header == name) return &value;
    }
    return nullptr;
}

std::string request_path(const Endpoint& endpoint, const std::string& bucket,
                         const std::string& key) {
    std::string path;
    if (!endpoint.virtual_host || bucket.find('.') != std::string::npos) {
        path.append("/").append(bucket);
    }
    if (!key.empty()) path.append("/").append(uri_encode(key, true));
    return path.empty() ? std::string("/") : path;
}

SignedRequest sign_request(const Endpoint& endpoint, const Credentials& credentials,
                           const std::string& region, const std::string& method,
                           const std::string& bucket, const std::string& key, const Pairs& query,
                           const Pairs& headers, const std::string& payload_hash,
                           const std::string& amz_date) {
    SignedRequest out;
    const bool virtual_host = endpoint.virtual_host && bucket.find('.') == std::string::npos;
    out.host = virtual_host ? bucket + "." + endpoint.host : endpoint.host;
    const std::string path = request_path(endpoint, bucket, key);
    const std::string canonical = canonical_query(query);
    out.target = canonical.empty() ? path : path + "?" + canonical;
    out.headers = headers;
    out.headers.emplace_back("host", out.host);
    out.headers.emplace_back("x-amz-date", amz_date);
    out.headers.emplace_back("x-amz-content-sha256", payload_hash);
    if (!credentials.session_token.empty()) {
        out.headers.emplace_back("x-amz-security-token", credentials.session_token);
    }
    if (!credentials.access_key.empty()) {
        out.authorization = authorization(method, path, canonical, out.headers, payload_hash,
                                          amz_date, region, credentials);
    }
    return out;
}

std::string xml_text(const std::string& xml, const std::string& name) {
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    const auto start = xml.find(open);
    if (start == std::string::npos) return {};
    const auto end = xml.find(close, start + open.size());
    if (end == std::string::npos) return {};
    return unescape(xml.substr(start + open.size(), end - start - open.size()));
}

Connection::Connection() : handle_(curl_easy_init()) {
    if (handle_ == nullptr) throw std::runtime_error("libcurl: no easy handle");
}

Connection::~Connection() { curl_easy_cleanup(handle_); }

void Connection::perform(const Endpoint& endpoint, const Credentials& credentials,
                         const std::string& region, Exchange& x, const std::atomic<bool>& cancel,
                         const std::function<void(std::int64_t)>& on_bytes) {
    x.clear_reply();
    Transfer t{&x, handle_, &cancel, &on_bytes};
    Digest md5(Digest::Kind::md5);
    if (x.want_md5) t.md5 = &md5;
    if (x.to_sink && x.sink.pipe == nullptr && x.sink.memory == nullptr) {  // into a file
        staging_.resize(staging_size);
        t.staging = &staging_;
    }

    const SignedRequest request =
        sign_request(endpoint, credentials, region, x.method, x.bucket, x.key, x.query, x.headers,
                     x.payload_hash, amz_date_now());
    const std::string url = endpoint.scheme + "://" + request.host + request.target;
    HeaderList lines;
    for (const auto& [name, value] : request.headers) {
        // "Name:" alone would tell libcurl to leave the header out; "Name;" sends it empty.
        const bool blank = value.find_first_not_of(" \t") == std::string::npos;
        std::string line = name;
        if (blank) {
            line += ";";
        } else {
            line.append(": ").append(value);
        }
        lines.add(line);
    }
    if (!request.authorization.empty()) lines.add("Authorization: " + request.authorization);
    lines.add("Expect:");  // no 100-continue round trip before a body
    lines.add("Accept:");

    CURL* h = handle_;
    curl_easy_reset(h);  // keeps the open connection
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    // The path goes as it was signed: libcurl would otherwise resolve "." and ".." segments
    // of a key ("a/../b" is an object name of its own, not "b").
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, lines.get());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "quorvex-engine");
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, endpoint.connect_timeout_ms);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, endpoint.read_timeout_s);
    curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024L);
    if (endpoint.scheme == "https") {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!endpoint.ca_file.empty()) {
            curl_easy_setopt(h, CURLOPT_CAINFO, endpoint.ca_file.c_str());
        }
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
    if (x.method == "PUT") {
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(x.body.length));
        curl_easy_setopt(h, CURLOPT_READFUNCTION, on_read);
        curl_easy_setopt(h, CURLOPT_READDATA, &t);
        curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, on_seek);
        curl_easy_setopt(h, CURLOPT_SEEKDATA, &t);
    } else if (x.method == "GET") {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, x.method.c_str());
    }

    const CURLcode code = curl_easy_perform(h);
    if (!t.checked) check_reply(t);
    if (x.fault != Fault::none) return;  // ours: set by a callback
    if (t.staged > 0 && !flush_staged(t)) return;
    if (code != CURLE_OK) {
        x.fault = cancel.load() ? Fault::cancelled : Fault::transport;
        x.curl_code = static_cast<int>(code);
        x.fault_text = curl_easy_strerror(code);
        return;
    }
    if (t.sinking) {
        const std::string* length = x.reply_header("content-length");
        const std::int64_t expected = x.ranged ? x.range_length
                                      : length ? std::strtoll(length->c_str(), nullptr, 10)
                                               : x.received;
        if (x.received != expected) {
            x.fault = Fault::transport;
            x.curl_code = static_cast<int>(CURLE_PARTIAL_FILE);
            x.fault_text = "the reply ended after " + std::to_string(x.received) + " of " +
                           std::to_string(expected) + " bytes";
            return;
        }
        if (t.md5 != nullptr) x.md5_hex = md5.finish_hex();
    }
}

}  // namespace qe
