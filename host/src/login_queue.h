#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "basic_auth.h"

// Runs the bcrypt of the logins that basic_auth cannot recall on a thread of its own, one at a
// time, so that the threads serving connections never wait for one.
class login_queue {
public:
    // Called on the queue's thread with the verdict: allowed, denied, or unchecked when the
    // queue stopped first.
    using done_fn = std::function<void(basic_auth::verdict)>;

    login_queue(basic_auth& auth, std::size_t capacity);
    ~login_queue() { stop(); }
    login_queue(const login_queue&) = delete;
    login_queue& operator=(const login_queue&) = delete;

    // Queues a check of the Authorization header's value; false, and done never called, when
    // capacity logins wait already or the queue has stopped.
    bool submit(std::string authorization, done_fn done);
    // Finishes the check in progress, answers those waiting with unchecked, and ends the thread.
    void stop();

private:
    struct login {
        std::string authorization;
        done_fn done;
    };
    void run();

    basic_auth& auth_;
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<login> waiting_;
    bool stopping_ = false;
    std::thread thread_;
};
