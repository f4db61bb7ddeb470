// Basic authentication: verdicts recalled without a bcrypt, failures included, and the queue
// that runs the bcrypts one at a time off the serving threads.
#include <gtest/gtest.h>


#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "basic_auth.h"
#include "login_queue.h"
#include "support/bcrypt_hash.h"

namespace {

using verdict = basic_auth::verdict;

std::string header(const std::string& user_and_password) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text = "Basic ";
    for (std::size_t i = 0; i < user_and_password.size(); i += 3) {
        unsigned bits = static_cast<unsigned char>(user_and_password[i]) << 16;
        if (i + 1 < user_and_password.size())
            bits |= static_cast<unsigned char>(user_and_password[i + 1]) << 8;
        if (i + 2 < user_and_password.size())
            bits |= static_cast<unsigned char>(user_and_password[i + 2]);
        text += digits[bits >> 18];
        text += digits[(bits >> 12) & 63];
        text += i + 1 < user_and_password.size() ? digits[(bits >> 6) & 63] : '=';
        text += i + 2 < user_and_password.size() ? digits[bits & 63] : '=';
    }
    return text;
}

std::map<std::string, std::string> users() {
    return {{"scraper", bcrypt_hash("right", 4)}};
}

TEST(BasicAuthTest, VerdictsAreRecalledOnceChecked) {
    basic_auth auth(users());
    const std::pair<std::string, verdict> malformed[] = {
        {"", verdict::denied},
        {"Bearer x", verdict::denied},
        {"Basic !!!!", verdict::denied},
        {header("no colon"), verdict::denied},
        {header(std::string("scraper:ri\0ght", 14)), verdict::denied},
    };
    for (const auto& [text, expected] : malformed) {
        EXPECT_EQ(auth.recall(text), expected) << text;
        EXPECT_FALSE(auth.check(text)) << text;
    }
    for (const char* login : {"scraper:right", "scraper:wrong", "nobody:right"})
        EXPECT_EQ(auth.recall(header(login)), verdict::unchecked) << login;
    EXPECT_TRUE(auth.check(header("scraper:right")));
    EXPECT_FALSE(auth.check(header("scraper:wrong")));
    EXPECT_FALSE(auth.check(header("nobody:right")));
    EXPECT_EQ(auth.recall(header("scraper:right")), verdict::allowed);
    EXPECT_EQ(auth.recall("basic " + header("scraper:right").substr(6)), verdict::allowed);
    EXPECT_EQ(auth.recall(header("scraper:wrong")), verdict::denied);
    EXPECT_EQ(auth.recall(header("nobody:right")), verdict::denied);
    EXPECT_EQ(auth.recall(header("scraper:other")), verdict::unchecked);
}

// A check whose answer waits until released, and tells when it began.
struct held_check {
    std::promise<void> begun;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    login_queue::done_fn done() {
        return [this](verdict) {
            begun.set_value();
            released.wait();
        };
    }
};

TEST(BasicAuthTest, TheQueueChecksOneAtATimeAndRefusesBeyondItsCapacity) {
    basic_auth auth(users());
    std::atomic<int> allowed{0};
    auto count = [&](verdict v) { allowed += v == verdict::allowed; };
    {
        login_queue queue(auth, 2);
        held_check first;
        ASSERT_TRUE(queue.submit(header("scraper:right"), first.done()));
        first.begun.get_future().wait();  // the queue's thread is taken
        EXPECT_TRUE(queue.submit(header("scraper:right"), count));
        EXPECT_TRUE(queue.submit(header("scraper:right"), count));
        EXPECT_FALSE(queue.submit(header("scraper:right"), count));  // two wait already
        first.release.set_value();
        for (int i = 0; i < 500 && allowed < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(allowed, 2);

    // Once stopped, what still waits is answered unchecked, and nothing more is taken.
    login_queue queue(auth, 4);
    held_check first;
    std::atomic<int> unchecked{0};
    ASSERT_TRUE(queue.submit(header("scraper:x"), first.done()));
    first.begun.get_future().wait();
    for (int i = 0; i < 3; ++i)
        queue.submit(header("scraper:right"),
                     [&](verdict v) { unchecked += v == verdict::unchecked; });
    std::thread stopper([&] { queue.stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    first.release.set_value();
    stopper.join();
    EXPECT_EQ(unchecked, 3);
    EXPECT_FALSE(queue.submit(header("scraper:right"), count));
}

}  // namespace
