#include "engine/stream.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qe {

Pipe::Pipe(std::size_t capacity) : ring_(std::max<std::size_t>(1, capacity)) {}

bool Pipe::push(const char* data, std::size_t n) {
    std::unique_lock<std::mutex> hold(lock_);
    while (n > 0) {
        changed_.wait(hold, [&] { return closed_ || used_ < ring_.size(); });
        if (closed_) return false;
        const std::size_t tail = (head_ + used_) % ring_.size();
        const std::size_t room = std::min(ring_.size() - used_, ring_.size() - tail);
        const std::size_t step = std::min(n, room);
        std::memcpy(ring_.data() + tail, data, step);
        used_ += step;
        data += step;
        n -= step;
        changed_.notify_all();
    }
    return true;
}

void Pipe::finish() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        finished_ = true;
    }
    changed_.notify_all();
}

std::size_t Pipe::pop(unsigned char* out, std::size_t n, std::chrono::milliseconds wait,
                      bool& ended) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait_for(hold, wait, [&] { return used_ > 0 || finished_ || closed_; });
    std::size_t done = 0;
    while (done < n && used_ > 0) {
        const std::size_t step = std::min({n - done, used_, ring_.size() - head_});
        std::memcpy(out + done, ring_.data() + head_, step);
        head_ = (head_ + step) % ring_.size();
        used_ -= step;
        done += step;
    }
    ended = used_ == 0 && (finished_ || closed_);
    if (done > 0) changed_.notify_all();
    return done;
}

void Pipe::close() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
        used_ = 0;
    }
    changed_.notify_all();
}

Stream::Stream(Engine& engine, Task task, RetryPolicy policy, std::size_t capacity)
    : policy_(std::move(policy)), pipe_(capacity) {
    task.op = Op::get;
    task.pipe = &pipe_;
    tasks_.push_back(std::move(task));
    batch_ = std::make_unique<Batch>(engine, tasks_, results_, policy_, watch_, 1);
}

Stream::~Stream() {
    close();
    batch_.reset();
}

const Result& Stream::wait() {
    const std::lock_guard<std::mutex> hold(join_lock_);
    batch_->join();
    return results_.front();
}

void Stream::close() {
    pipe_.close();
    watch_.stop();
}

}  // namespace qe
