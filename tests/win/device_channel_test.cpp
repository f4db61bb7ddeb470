// The real device channel against a named pipe.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "device/device_channel.h"
#include "e2e/pipe_host.h"

namespace {

struct Device {
    dev_channel* dev;
    explicit Device(const char* path) : dev(dev_init(path)) {}
    ~Device() { dev_free(dev); }
};

int read_into(dev_channel* dev, std::string* text) {
    char buffer[512];
    int count = dev_read(dev, buffer, sizeof buffer);
    if (count > 0) text->assign(buffer, static_cast<std::size_t>(count));
    return count;
}

TEST(DeviceRecordTest, EmptyPathLeavesNoPathAndConnectFails) {
    Device d("");
    EXPECT_EQ(dev_path(d.dev), nullptr);
    EXPECT_EQ(dev_connect(d.dev), -1);

    dev_set_path(d.dev, nullptr);
    EXPECT_EQ(dev_path(d.dev), nullptr);
    EXPECT_EQ(dev_connect(d.dev), -1);
}

TEST(DeviceRecordTest, SetPathReplacesAPrivateCopy) {
    char first[] = "\\\\.\\pipe\\first";
    Device d(first);
    first[0] = 'x';
    EXPECT_STREQ(dev_path(d.dev), "\\\\.\\pipe\\first");
    dev_set_path(d.dev, "\\\\.\\pipe\\second");
    EXPECT_STREQ(dev_path(d.dev), "\\\\.\\pipe\\second");
    dev_set_path(d.dev, "");
    EXPECT_EQ(dev_path(d.dev), nullptr);
}

TEST(DeviceRecordTest, UnopenedRecordFailsQuietlyAndFrees) {
    Device d("\\\\.\\pipe\\vorna-test-nobody-listens");
    EXPECT_EQ(dev_connect(d.dev), -1);
    char buffer[4];
    EXPECT_EQ(dev_read(d.dev, buffer, 4), -1);
    EXPECT_EQ(dev_write(d.dev, "PONG", 4), -1);
    dev_close(d.dev);
    dev_close(d.dev);
    dev_free(nullptr);
}

TEST(DeviceChannelTest, ReadsAndWritesThroughThePipe) {
    pipe_host host(unique_pipe_path("channel"));
    Device d(host.path().c_str());
    ASSERT_EQ(dev_connect(d.dev), 0);
    ASSERT_TRUE(host.wait_for_agent(1000));

    ASSERT_TRUE(host.send("GSTATS:CMD;PING"));
    std::string text;
    EXPECT_EQ(read_into(d.dev, &text), 15);
    EXPECT_EQ(text, "GSTATS:CMD;PING");

    EXPECT_EQ(dev_write(d.dev, "PONG", 4), 0);
    EXPECT_EQ(host.receive(4, 2000), "PONG");

    // A host that goes away fails the read, and the record can be closed and reopened.
    host.disconnect();
    EXPECT_EQ(read_into(d.dev, &text), -1);
    dev_close(d.dev);
    // A disconnected pipe takes a new client only once its server listens again.
    auto listening = std::async(std::launch::async, [&] { return host.wait_for_agent(5000); });
    Sleep(300);
    ASSERT_EQ(dev_connect(d.dev), 0);
    ASSERT_TRUE(listening.get());
    EXPECT_EQ(dev_write(d.dev, "PONG", 4), 0);
    EXPECT_EQ(host.receive(4, 2000), "PONG");
}

TEST(DeviceChannelTest, SecondOpenOfAnUnsharedDeviceFails) {
    pipe_host host(unique_pipe_path("busy"));
    Device first(host.path().c_str());
    Device second(host.path().c_str());
    ASSERT_EQ(dev_connect(first.dev), 0);
    EXPECT_EQ(dev_connect(second.dev), -1);
}

TEST(DeviceChannelTest, CancelReleasesABlockedReadAndEveryLaterOne) {
    pipe_host host(unique_pipe_path("cancel"));
    Device d(host.path().c_str());
    ASSERT_EQ(dev_connect(d.dev), 0);
    ASSERT_TRUE(host.wait_for_agent(1000));

    std::string text;
    auto reader = std::async(std::launch::async, [&] { return read_into(d.dev, &text); });
    // The host stays silent: without the cancel this read never ends.
    ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    dev_cancel(d.dev);
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reader.get(), -1);

    auto later = std::async(std::launch::async, [&] { return read_into(d.dev, &text); });
    ASSERT_EQ(later.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(later.get(), -1);

    // A host that reads still gets the reply of a message in hand.
    EXPECT_EQ(dev_write(d.dev, "PONG", 4), 0);
    EXPECT_EQ(host.receive(4, 2000), "PONG");
}

TEST(DeviceChannelTest, CancelGivesAWriteOneSecondForTheHostToTakeIt) {
    pipe_host host(unique_pipe_path("cancel-write"), {16, false});
    Device d(host.path().c_str());
    ASSERT_EQ(dev_connect(d.dev), 0);
    ASSERT_TRUE(host.wait_for_agent(1000));
    const std::string reply(64, 'r');  // four times the pipe's buffer

    // A host that reads within the second gets the whole reply.
    auto writer = std::async(std::launch::async, [&] { return dev_write(d.dev, reply.data(), 64); });
    ASSERT_EQ(writer.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    dev_cancel(d.dev);
    Sleep(300);
    EXPECT_EQ(host.receive(64, 2000), reply);
    EXPECT_EQ(writer.get(), 0);

    // A host that does not read cannot hold the write: it fails after the second.
    ULONGLONG start = GetTickCount64();
    writer = std::async(std::launch::async, [&] { return dev_write(d.dev, reply.data(), 64); });
    ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(writer.get(), -1);
    EXPECT_GE(GetTickCount64() - start, 900u);
}

TEST(DeviceChannelTest, CancelOfAClosedDeviceOnlyMarksTheRecord) {
    pipe_host host(unique_pipe_path("closed"));
    Device d(host.path().c_str());
    dev_cancel(d.dev);
    ASSERT_EQ(dev_connect(d.dev), 0);
    ASSERT_TRUE(host.wait_for_agent(1000));
    std::string text;
    auto reader = std::async(std::launch::async, [&] { return read_into(d.dev, &text); });
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reader.get(), -1);
}

}  // namespace
