#include "engine/scheduler.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

#include "engine/digest.hpp"
#include "engine/stream.hpp"

namespace qe {

namespace {

constexpr std::size_t hash_block = 1U << 20U;

bool transient_transport(int code) {
    switch (static_cast<CURLcode>(code)) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return true;
        default: return false;
    }
}

bool tls_failure(int code) {
    switch (static_cast<CURLcode>(code)) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS: return true;
        default: return false;
    }
}

std::string range_text(std::int64_t start, std::int64_t length) {
    return "bytes=" + std::to_string(start) + "-" + std::to_string(start + length - 1);
}

// The hex SHA-256 of length bytes of fd from offset; false (errno set, or 0 for a file
// that is shorter) when they cannot be read.
bool hash_file(int fd, std::int64_t offset, std::int64_t length, std::string& hex_out,
               std::vector<unsigned char>& buffer) {
    Digest digest(Digest::Kind::sha256);
    buffer.resize(hash_block);
    std::int64_t done = 0;
    while (done < length) {
        const auto want = static_cast<std::size_t>(
            std::min<std::int64_t>(length - done, static_cast<std::int64_t>(hash_block)));
        const ssize_t got = pread(fd, buffer.data(), want, offset + done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = 0;
            return false;
        }
        digest.update(buffer.data(), static_cast<std::size_t>(got));
        done += got;
    }
    hex_out = digest.finish_hex();
    return true;
}

void local_failure(Result& result, int error_number, std::string message) {
    result.ok = false;
    result.kind = "local";
    result.error_number = error_number;
    result.message = std::move(message);
}

}  // namespace

void Watch::stop() {
    {
        const std::lock_guard<std::mutex> hold(lock);
        cancel.store(true);
    }
    changed.notify_all();
}

Engine::Engine(Endpoint endpoint, Credentials credentials, std::size_t max_connections)
    : endpoint_(std::move(endpoint)),
      credentials_(std::move(credentials)),
      max_connections_(std::max<std::size_t>(1, max_connections)) {}

std::unique_ptr<Connection> Engine::take_connection() {
    {
        const std::lock_guard<std::mutex> hold(idle_lock_);
        if (!idle_.empty()) {
            auto connection = std::move(idle_.back());
            idle_.pop_back();
            return connection;
        }
    }
    return std::make_unique<Connection>();
}

void Engine::give_back(std::unique_ptr<Connection> connection) {
    const std::lock_guard<std::mutex> hold(idle_lock_);
    if (idle_.size() < max_connections_) idle_.push_back(std::move(connection));
}

Batch::Batch(Engine& engine, std::vector<Task>& tasks, std::vector<Result>& results,
             const RetryPolicy& policy, Watch& watch, std::size_t workers, bool stop_on_failure)
    : engine_(engine),
      tasks_(tasks),
      results_(results),
      policy_(policy),
      watch_(watch),
      stop_on_failure_(stop_on_failure) {
    results_.assign(tasks_.size(), Result{});
    const std::size_t count = std::min({workers, tasks_.size(), engine_.max_connections()});
    threads_.reserve(count);
    try {
        for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
        if (threads_.empty()) throw;  // the threads started take every task
    }
}

Batch::~Batch() { join(); }

void Batch::join() {
    for (auto& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
    threads_.clear();
}

void Batch::work() {
    std::unique_ptr<Connection> connection;
    for (;;) {
        const std::size_t index = next_.fetch_add(1);
        if (index >= tasks_.size()) break;
        Result& result = results_[index];
        try {
            if (!connection) connection = engine_.take_connection();
            if (watch_.cancel.load()) {
                result.kind = "cancelled";
                result.message = "the transfer was cancelled";
            } else {
                run_one(*connection, tasks_[index], result);
            }
        } catch (const std::exception& error) {
            local_failure(result, 0, std::string("the transfer engine failed: ") + error.what());
            connection.reset();  // its state is unknown
        }
        if (tasks_[index].pipe != nullptr) tasks_[index].pipe->finish();
        if (stop_on_failure_ && !result.ok && result.kind != "cancelled") watch_.stop();
        {
            const std::lock_guard<std::mutex> hold(watch_.lock);
            watch_.finished.push_back(index);
            ++watch_.done;
        }
        watch_.changed.notify_all();
    }
    if (connection) engine_.give_back(std::move(connection));
}

void Batch::run_one(Connection& connection, Task& task, Result& result) {
    int fd = task.fd;
    bool own = false;
    if (!task.path.empty()) {
        const int created = task.create ? O_CREAT | O_EXCL : 0;
        const int flags =
            task.op == Op::get ? created | O_WRONLY | O_NOFOLLOW | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
        fd = ::open(task.path.c_str(), flags, static_cast<mode_t>(task.mode));
        if (fd < 0) {
            local_failure(result, errno, task.path);
            return;
        }
        own = true;
    }
    Exchange x;
    x.bucket = task.bucket;
    x.key = task.key;
    x.headers = task.headers;
    x.query = task.query;
    if (!task.upload_id.empty()) {
        x.query.emplace_back("partNumber", std::to_string(task.part_number));
        x.query.emplace_back("uploadId", task.upload_id);
    }
    bool ready = true;
    switch (task.op) {
        case Op::get:
            x.method = "GET";
            x.payload_hash = std::string(empty_sha256);
            x.to_sink = true;
            x.want_md5 = task.want_md5 && !task.ranged;
            x.sink = Sink{fd, task.offset, task.memory, task.memory_size, task.pipe};
            if (task.ranged) {
                x.ranged = true;
                x.range_start = task.range_start;
                x.range_length = task.range_length;
                x.headers.emplace_back("range", range_text(task.range_start, task.range_length));
            }
            if (!task.if_match.empty()) x.headers.emplace_back("if-match", task.if_match);
            break;
        case Op::put: {
            x.method = "PUT";
            if (task.memory != nullptr) {
                x.body = Body{-1, 0, task.memory_size, task.memory};
                Digest digest(Digest::Kind::sha256);
                digest.update(task.memory, static_cast<std::size_t>(task.memory_size));
                x.payload_hash = digest.finish_hex();
                break;
            }
            std::int64_t length = task.length;
            if (length < 0) {
                struct stat info{};
                if (fstat(fd, &info) != 0) {
                    local_failure(result, errno, task.path);
                    ready = false;
                    break;
                }
                length = std::max<std::int64_t>(0, info.st_size - task.offset);
            }
            x.body = Body{fd, task.offset, length, nullptr};
            std::vector<unsigned char> buffer;
            if (!hash_file(fd, task.offset, length, x.payload_hash, buffer)) {
                local_failure(result, errno,
                              errno == 0 ? "the file became shorter while it was read" : task.path);
                ready = false;
            }
            break;
        }
        case Op::copy: {
            x.method = "PUT";
            x.payload_hash = std::string(empty_sha256);
            x.headers.emplace_back("x-amz-copy-source", "/" + task.source_bucket + "/" +
                                                            uri_encode(task.source_key, true));
            if (task.ranged) {
                x.headers.emplace_back("x-amz-copy-source-range",
                                       range_text(task.range_start, task.range_length));
            }
            if (!task.if_match.empty()) {
                x.headers.emplace_back("x-amz-copy-source-if-match", task.if_match);
            }
            break;
        }
    }
    if (ready) attempt_loop(connection, x, task, result);
    if (own && ::close(fd) != 0 && result.ok && task.op == Op::get) {
        local_failure(result, errno, task.path);
    }
    // The file a GET created (O_EXCL: no one else's) is removed when the GET failed, so that
    // no empty or partial file is left that looks like the object; a file that existed
    // (create=False) stays.
    if (own && task.op == Op::get && task.create && !result.ok) ::unlink(task.path.c_str());
}

void Batch::attempt_loop(Connection& connection, Exchange& x, Task& task, Result& result) {
    const RetryPolicy& policy = policy_;
    Watch& watch = watch_;
    const std::size_t attempts = policy.pauses.size() + 1;
    std::int64_t reported = 0;  // the most bytes any attempt has moved: counted once
    for (std::size_t attempt = 1;; ++attempt) {
        result = Result{};
        result.attempts = static_cast<int>(attempt);
        std::int64_t this_attempt = 0;
        const std::function<void(std::int64_t)> on_bytes = [&](std::int64_t n) {
            this_attempt += n;
            if (this_attempt > reported) {
                watch.bytes.fetch_add(this_attempt - reported, std::memory_order_relaxed);
                reported = this_attempt;
            }
        };
        connection.perform(engine_.endpoint(), engine_.credentials(), task.region, x, watch.cancel,
                           on_bytes);
        result.reported = reported;
        result.status = x.status;
        result.bytes = x.received;
        bool transient = false;
        if (x.fault == Fault::none && x.status >= 200 && x.status < 300) {
            const std::string body_code =
                task.op == Op::copy ? xml_text(x.reply_body, "Code") : std::string();
            if (body_code.empty()) {
                result.ok = true;
                const std::string* etag = x.reply_header("etag");
                result.etag = task.op == Op::copy ? xml_text(x.reply_body, "ETag")
                              : etag              ? *etag
                                                  : std::string();
                result.md5 = x.md5_hex;
                if (const std::string* range = x.reply_header("content-range")) {
                    const auto slash = range->rfind('/');
                    if (slash != std::string::npos && range->substr(slash + 1) != "*") {
                        result.total = std::strtoll(range->c_str() + slash + 1, nullptr, 10);
                    }
                } else if (const std::string* length = x.reply_header("content-length");
                           length != nullptr && task.op == Op::get) {
                    result.total = std::strtoll(length->c_str(), nullptr, 10);
                }
                return;
            }
            // A copy can fail after its 200 was sent: the error is in the body.
            x.status = 500;
        }
        switch (x.fault) {
            case Fault::none: {
                result.kind = "s3";
                result.code = xml_text(x.reply_body, "Code");
                result.message = xml_text(x.reply_body, "Message");
                result.resource = xml_text(x.reply_body, "Resource");
                result.request_id = xml_text(x.reply_body, "RequestId");
                result.host_id = xml_text(x.reply_body, "HostId");
                if (const std::string* id = x.reply_header("x-amz-request-id");
                    id != nullptr && result.request_id.empty()) {
                    result.request_id = *id;
                }
                if (result.code.empty()) {
                    result.kind = "http";
                    result.message = x.reply_body.substr(0, 512);
                    transient = x.status >= 500;
                } else {
                    transient = std::find(policy.codes.begin(), policy.codes.end(), result.code) !=
                                policy.codes.end();
                }
                break;
            }
            case Fault::transport:
                result.kind = tls_failure(x.curl_code) ? "tls" : "transport";
                result.curl_code = x.curl_code;
                result.message = x.fault_text;
                transient = transient_transport(x.curl_code);
                break;
            case Fault::local:
                result.kind = "local";
                result.error_number = x.local_errno;
                result.message = x.fault_text.empty() ? task.path : x.fault_text;
                break;
            case Fault::reply:
                result.kind = "reply";
                result.message = x.fault_text;
                break;
            case Fault::cancelled:
                result.kind = "cancelled";
                result.message = "the transfer was cancelled";
                break;
        }
        if (!transient || attempt >= attempts || watch.cancel.load()) return;
        // Bytes a reader may already have taken cannot be taken back: its reader decides.
        if (task.pipe != nullptr && x.received > 0) return;
        // A GET into memory or a file starts again from its first byte: rewrite it.
        std::unique_lock<std::mutex> hold(watch.lock);
        const auto pause = std::chrono::duration<double>(policy.pauses[attempt - 1]);
        watch.changed.wait_for(hold, pause, [&] { return watch.cancel.load(); });
        if (watch.cancel.load()) return;
    }
}

}  // namespace qe
