#include <gtest/gtest.h>

#include <string>

#include "service/service_install.h"

namespace {

std::string formatted(const char* exe, const char* device, int* needed = nullptr) {
    char line[SERVICE_COMMAND_LINE_SIZE] = {};
    int length = service_command_line(line, sizeof line - 1, exe, device);
    if (needed != nullptr) *needed = length;
    return line;
}

TEST(ServiceCommandLineTest, ExecutablePathIsAlwaysQuoted) {
    EXPECT_EQ(formatted("C:\\agent\\vorna.exe", "\\\\.\\pipe\\p"),
              "\"C:\\agent\\vorna.exe\" -d -p \\\\.\\pipe\\p");
    EXPECT_EQ(formatted("C:\\Program Files\\Vorna\\vorna.exe", "COM1"),
              "\"C:\\Program Files\\Vorna\\vorna.exe\" -d -p COM1");
}

TEST(ServiceCommandLineTest, WithoutADevicePathThereIsNoDeviceOption) {
    EXPECT_EQ(formatted("C:\\vorna.exe", nullptr), "\"C:\\vorna.exe\" -d");
}

TEST(ServiceCommandLineTest, DevicePathIsQuotedWhenTheParserWouldSplitOrStripIt) {
    EXPECT_EQ(formatted("C:\\v.exe", "\\\\.\\pipe\\a b"), "\"C:\\v.exe\" -d -p \"\\\\.\\pipe\\a b\"");
    EXPECT_EQ(formatted("C:\\v.exe", "a\tb"), "\"C:\\v.exe\" -d -p \"a\tb\"");
    // Backslashes are doubled only where a quote follows them.
    EXPECT_EQ(formatted("C:\\v.exe", "\\\\.\\pipe\\a b\\"),
              "\"C:\\v.exe\" -d -p \"\\\\.\\pipe\\a b\\\\\"");
    EXPECT_EQ(formatted("C:\\v.exe", "a\\\"b"), "\"C:\\v.exe\" -d -p \"a\\\\\\\"b\"");
}

TEST(ServiceCommandLineTest, ResultIsTheLengthTheWholeLineNeeds) {
    std::string device(600, 'd');
    int needed = 0;
    std::string line = formatted("C:\\v.exe", device.c_str(), &needed);
    EXPECT_EQ(needed, static_cast<int>(std::string("\"C:\\v.exe\" -d -p ").size() + 600));
    EXPECT_EQ(line.size(), 510u);  // cut by the formatter; the installation refuses it
}

}  // namespace
