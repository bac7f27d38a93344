// The transfer engine: a batch of tasks (GETs into files or memory, PUTs of files, ranges
// or memory as objects or parts, server-side copies and part copies) run by a pool of
// threads, each with its own connection, every request retried on its own when it fails
// transiently.  Nothing here touches Python.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/http.hpp"

namespace qe {

class Connection;
class Pipe;

// How requests are retried, as the caller decides it: the pauses before the second, third,
// ... attempt (so attempts in all are pauses.size() + 1) and the S3 error codes that are
// transient.  A reply of status 500 or above with no error code, and a dropped, refused or
// timed-out connection, are transient too; a TLS failure is not.
struct RetryPolicy {
    std::vector<double> pauses;
    std::vector<std::string> codes;
};

enum class Op : std::uint8_t { get, put, copy };

struct Task {
    Op op = Op::get;
    std::string bucket;
    std::string key;
    std::string region;
    Pairs headers;
    Pairs query;
    // GET: where the bytes go.  PUT: where they come from.
    std::string path;    // opened by the task (GET: created, O_EXCL, mode; PUT: read)
    bool create = true;  // GET into path: false opens a file that exists (never a link)
    int mode = 0666;
    int fd = -1;
    std::int64_t offset = 0;  // in the file
    unsigned char* memory = nullptr;
    std::int64_t memory_size = 0;
    bool ranged = false;  // GET: a range of the object; copy: of the source
    std::int64_t range_start = 0;
    std::int64_t range_length = 0;
    std::int64_t length = -1;  // PUT from a file: -1 is "to its end"
    bool want_md5 = false;
    std::string if_match;
    // copy
    std::string source_bucket;
    std::string source_key;
    // a part of a multipart upload
    std::string upload_id;
    int part_number = 0;
    // GET: the body goes to a reader through this pipe (see stream.hpp), not to a file
    Pipe* pipe = nullptr;
};

struct Result {
    bool ok = false;
    long status = 0;
    std::string etag;
    std::int64_t bytes = 0;     // body bytes of the last attempt
    std::int64_t total = -1;    // a GET: the object's size, when the reply says it
    std::int64_t reported = 0;  // bytes counted in the progress
    int attempts = 0;
    std::string md5;
    // when not ok
    std::string kind;  // "s3", "http", "transport", "local", "reply", "cancelled"
    std::string code;
    std::string message;
    std::string resource;
    std::string request_id;
    std::string host_id;
    int error_number = 0;
    int curl_code = 0;
};

// Progress of a batch being run, read by the thread that waits for it.
struct Watch {
    std::atomic<std::int64_t> bytes{0};
    std::atomic<bool> cancel{false};
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::size_t> finished;  // guarded by lock
    std::size_t done = 0;               // guarded by lock

    void stop();  // cancels what has not finished; wakes whoever waits
};

class Engine;

// One batch of tasks on its threads.  The tasks, results, policy and watch must outlive it.
class Batch {
public:
    Batch(Engine& engine, std::vector<Task>& tasks, std::vector<Result>& results,
          const RetryPolicy& policy, Watch& watch, std::size_t workers,
          bool stop_on_failure = false);
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch();  // joins

    void join();

private:
    void work();
    void run_one(Connection& connection, Task& task, Result& result);
    void attempt_loop(Connection& connection, Exchange& x, Task& task, Result& result);

    Engine& engine_;
    std::vector<Task>& tasks_;
    std::vector<Result>& results_;
    const RetryPolicy& policy_;
    Watch& watch_;
    bool stop_on_failure_;  // the first task that fails cancels the rest
    std::atomic<std::size_t> next_{0};
    std::vector<std::thread> threads_;
};

// What every batch of one store shares: where it is, who asks, and the idle connections.
// Safe to use from several threads; each batch runs on threads of its own.
class Engine {
public:
    Engine(Endpoint endpoint, Credentials credentials, std::size_t max_connections);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    ~Engine() = default;

    [[nodiscard]] const Endpoint& endpoint() const { return endpoint_; }
    [[nodiscard]] const Credentials& credentials() const { return credentials_; }
    [[nodiscard]] std::size_t max_connections() const { return max_connections_; }

    std::unique_ptr<Connection> take_connection();
    void give_back(std::unique_ptr<Connection> connection);

private:
    Endpoint endpoint_;
    Credentials credentials_;
    std::size_t max_connections_;
    std::mutex idle_lock_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace qe
