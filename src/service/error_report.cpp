#include "service/error_report.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "util/log.h"

int windows_print_error(const char* prefix) {
    // Read first: anything called below may overwrite it.
    DWORD code = GetLastError();
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text),
        0, nullptr);
    // Signed on purpose: HRESULT-style codes show as negative numbers.
    int signed_code = static_cast<int>(code);
    if (length == 0 || text == nullptr) {
        return log_failure("%s (Error: %d) unknown error\n", prefix, signed_code);
    }
    int printed = log_failure("%s (Error: %d) %s", prefix, signed_code, text);
    LocalFree(text);
    return printed;
}

void system_error_text(unsigned long code, char* text, std::size_t size) {
    if (size == 0) return;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text,
                                  static_cast<DWORD>(size), nullptr);
    if (length == 0) {
        std::snprintf(text, size, "unknown error");
        return;
    }
    while (length > 0 && std::strchr("\r\n ", text[length - 1]) != nullptr) text[--length] = '\0';
}
