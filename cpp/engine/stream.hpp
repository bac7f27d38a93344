// One GET whose body is read as it comes: the reply is received on a thread of its own into
// a bounded ring (the read-ahead), from which a reader takes it.  The thread waits while the
// ring is full, so memory stays bounded by the ring whatever the object's size.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/scheduler.hpp"

namespace qe {

// The ring between the thread receiving a reply and its reader.  Safe from both sides.
class Pipe {
public:
    explicit Pipe(std::size_t capacity);
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() = default;

    // The receiving side: copies n bytes in, waiting while the ring is full; false (nothing
    // more is taken) once the reader has gone.
    bool push(const char* data, std::size_t n);
    void finish();  // no more bytes come

    // The reader: up to n bytes out, waiting up to ``wait`` for the first.  ``ended`` says
    // that the ring is empty and no more bytes will come.
    std::size_t pop(unsigned char* out, std::size_t n, std::chrono::milliseconds wait, bool& ended);
    void close();  // the reader has gone: push fails from now on

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<unsigned char> ring_;
    std::size_t head_ = 0;  // where the next byte is read
    std::size_t used_ = 0;
    bool finished_ = false;
    bool closed_ = false;
};

// A GET of ``task`` (its bucket, key, region, range, If-Match and MD5 wish) streaming into a
// Pipe of ``capacity`` bytes.  The request is retried by ``policy`` only while no byte of its
// body has reached the pipe: after that, a failure ends the stream and the reader decides.
class Stream {
public:
    Stream(Engine& engine, Task task, RetryPolicy policy, std::size_t capacity);
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream();  // cancels what is still coming and joins its thread

    Pipe& pipe() { return pipe_; }
    const Result& wait();  // the GET's result, once it has ended
    void close();          // cancels the GET (bytes in the ring are dropped)

private:
    std::vector<Task> tasks_;
    std::vector<Result> results_;
    RetryPolicy policy_;
    Watch watch_;
    Pipe pipe_;
    std::mutex join_lock_;
    std::unique_ptr<Batch> batch_;  // last: it goes first
};

}  // namespace qe
