#include "login_queue.h"

login_queue::login_queue(basic_auth& auth, std::size_t capacity)
    : auth_(auth), capacity_(capacity), thread_([this] { run(); }) {}

bool login_queue::submit(std::string authorization, done_fn done) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || waiting_.size() >= capacity_) return false;
    waiting_.push_back({std::move(authorization), std::move(done)});
    wake_.notify_one();
    return true;
}

void login_queue::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
}

void login_queue::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty()) return;
        login next = std::move(waiting_.front());
        waiting_.pop_front();
        basic_auth::verdict verdict = basic_auth::verdict::unchecked;
        if (!stopping_) {
            lock.unlock();
            verdict = auth_.check(next.authorization) ? basic_auth::verdict::allowed
                                                      : basic_auth::verdict::denied;
            lock.lock();
        }
        lock.unlock();
        next.done(verdict);
        lock.lock();
    }
}
