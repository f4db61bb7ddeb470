// The message table of the built executable renders every event's text, as Event Viewer
// does: from the module loaded as data, with the event's inserts.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "e2e/agent_process.h"
#include "event_messages.h"
#include "service/error_report.h"
#include "util/log.h"

namespace {

std::string rendered(HMODULE module, DWORD id, const char* const* inserts) {
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        module, id, 0, reinterpret_cast<char*>(&text), 0,
        reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
    std::string copy = length != 0 ? std::string(text, length) : "(none: " + std::to_string(GetLastError()) + ")";
    LocalFree(text);
    // The table's own line end at the end of each text.
    while (!copy.empty() && (copy.back() == '\n' || copy.back() == '\r')) copy.pop_back();
    return copy;
}

TEST(EventMessagesTest, EveryEventTextRendersWithItsInserts) {
    HMODULE module = LoadLibraryExA(agent_exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << GetLastError();
    const char* failure[] = {"CreateService: (Error: 1073) The specified service already exists."};
    const char* missing[] = {"\\\\.\\Global\\port", "The system cannot find the file specified."};
    const char* back[] = {"\\\\.\\Global\\port"};
    EXPECT_EQ(rendered(module, MSG_FAILURE, failure), failure[0]);
    EXPECT_EQ(rendered(module, MSG_DEVICE_MISSING, missing),
              "The device \\\\.\\Global\\port cannot be opened: The system cannot find the file "
              "specified. The agent tries again every 4 seconds and reports here when the device "
              "is open again.");
    EXPECT_EQ(rendered(module, MSG_DEVICE_BACK, back), "The device \\\\.\\Global\\port is open again.");
    // Event Viewer shows the low 16 bits as the event ID, the top two as the level.
    EXPECT_EQ(MSG_FAILURE, 0xC0000001u);
    EXPECT_EQ(MSG_DEVICE_MISSING, 0x80000002u);
    EXPECT_EQ(MSG_DEVICE_BACK, 0x40000003u);

    // A foreground agent writes the same texts on standard error.
    char reason[256];
    system_error_text(ERROR_FILE_NOT_FOUND, reason, sizeof reason);
    const char* missing_here[] = {missing[0], reason};
    log_use_error_text(system_error_text);
    testing::internal::CaptureStderr();
    log_device_missing(missing[0], ERROR_FILE_NOT_FOUND);
    log_device_back(back[0]);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              rendered(module, MSG_DEVICE_MISSING, missing_here) + "\n" +
                  rendered(module, MSG_DEVICE_BACK, back) + "\n");
    log_use_error_text(nullptr);
    FreeLibrary(module);
}

}  // namespace
