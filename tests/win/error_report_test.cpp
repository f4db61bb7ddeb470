#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "service/error_report.h"

namespace {

std::string system_text(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_FROM_SYSTEM,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char*>(&text), 0, nullptr);
    std::string copy = text != nullptr ? text : "";
    LocalFree(text);
    return copy;
}

TEST(ErrorReportTest, PrefixCodeAndTheSystemsText) {
    std::string text = system_text(ERROR_SERVICE_EXISTS);
    ASSERT_FALSE(text.empty());
    testing::internal::CaptureStderr();
    SetLastError(ERROR_SERVICE_EXISTS);
    int printed = windows_print_error("CreateService:");
    std::string err = testing::internal::GetCapturedStderr();
    std::string expected = "CreateService: (Error: 1073) " + text;
    EXPECT_EQ(err, expected);
    EXPECT_EQ(printed, static_cast<int>(expected.size()));
}

TEST(ErrorReportTest, CodeWithoutTextIsAnUnknownErrorInSignedDecimal) {
    const DWORD code = 0xE0000001;  // customer bit: no system text
    ASSERT_EQ(system_text(code), "");
    testing::internal::CaptureStderr();
    SetLastError(code);
    int printed = windows_print_error("OpenService:");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "OpenService: (Error: -536870911) unknown error\n");
    EXPECT_EQ(printed, static_cast<int>(err.size()));
}

TEST(ErrorReportTest, PrefixIsPrintedAsItIs) {
    testing::internal::CaptureStderr();
    SetLastError(0xE0000002);
    windows_print_error("Failed to register extended requests function!\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to register extended requests function!\n (Error: -536870910) unknown error\n");
}

}  // namespace
