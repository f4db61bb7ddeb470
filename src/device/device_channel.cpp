#include "device/device_channel.h"

#include <windows.h>

#include <cstdlib>

#include "util/log.h"
#include "util/xalloc.h"

// The device is opened for overlapped I/O so that a read can wait on the stop event as well;
// towards callers, reads and writes still block until they complete.
struct dev_channel {
    HANDLE handle;      // INVALID_HANDLE_VALUE while not open
    char* path;         // owned, or null
    HANDLE io_event;    // completion of the current read or write
    HANDLE stop_event;  // manual reset; set once by dev_cancel, lives as long as the record
    DWORD connect_error;  // why the last open failed, for the outage event
};

namespace {

HANDLE create_event(BOOL manual_reset) {
    HANDLE event = CreateEventA(nullptr, manual_reset, FALSE, nullptr);
    if (event == nullptr) {
        // Without events the stop request could not release a read: as fatal as exhausted memory.
        log_failure("CreateEvent: error %lu\n", GetLastError());
        std::exit(1);
    }
    return event;
}

// How long a write may still take once a stop is requested: a host that reads gets the reply in
// hand, a host that does not cannot hold the stop.
constexpr DWORD kStopWriteGraceMs = 1000;

// Waits for an overlapped operation started on dev. Once the stop event is set, the operation
// has grace_ms more to complete; then it is cancelled and fails. Returns the byte count, or -1.
int finish_io(dev_channel* dev, OVERLAPPED* ov, DWORD grace_ms) {
    HANDLE waits[2] = {dev->io_event, dev->stop_event};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 &&
        WaitForSingleObject(dev->io_event, grace_ms) != WAIT_OBJECT_0)
        CancelIoEx(dev->handle, ov);
    DWORD done = 0;
    if (!GetOverlappedResult(dev->handle, ov, &done, TRUE)) return -1;
    return static_cast<int>(done);
}

}  // namespace

dev_channel* dev_init(const char* path) {
    auto* dev = static_cast<dev_channel*>(xmalloc(sizeof(dev_channel)));
    dev->handle = INVALID_HANDLE_VALUE;
    dev->path = nullptr;
    dev->connect_error = 0;
    dev->io_event = create_event(TRUE);
    dev->stop_event = create_event(TRUE);
    dev_set_path(dev, path);
    return dev;
}

void dev_set_path(dev_channel* dev, const char* path) {
    xfree(dev->path);
    dev->path = (path != nullptr && path[0] != '\0') ? xstrdup(path) : nullptr;
}

const char* dev_path(const dev_channel* dev) {
    return dev->path;
}

int dev_connect(dev_channel* dev) {
    if (dev->path == nullptr) {
        dev->connect_error = ERROR_PATH_NOT_FOUND;
        return -1;
    }
    dev->handle = CreateFileA(dev->path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (dev->handle == INVALID_HANDLE_VALUE) {
        dev->connect_error = GetLastError();
        return -1;
    }
    dev->connect_error = 0;
    return 0;
}

unsigned long dev_connect_error(const dev_channel* dev) {
    return dev->connect_error;
}

int dev_read(dev_channel* dev, void* buffer, int size) {
    if (dev->handle == INVALID_HANDLE_VALUE || size < 0) return -1;
    OVERLAPPED ov = {};
    ov.hEvent = dev->io_event;
    if (!ReadFile(dev->handle, buffer, static_cast<DWORD>(size), nullptr, &ov) &&
        GetLastError() != ERROR_IO_PENDING)
        return -1;  // failed at once: the event will never be signalled
    return finish_io(dev, &ov, 0);
}

int dev_write(dev_channel* dev, const void* data, int size) {
    if (dev->handle == INVALID_HANDLE_VALUE || size < 0) return -1;
    OVERLAPPED ov = {};
    ov.hEvent = dev->io_event;
    if (!WriteFile(dev->handle, data, static_cast<DWORD>(size), nullptr, &ov) &&
        GetLastError() != ERROR_IO_PENDING)
        return -1;
    return finish_io(dev, &ov, kStopWriteGraceMs) == size ? 0 : -1;
}

void dev_close(dev_channel* dev) {
    if (dev->handle == INVALID_HANDLE_VALUE) return;
    CloseHandle(dev->handle);
    dev->handle = INVALID_HANDLE_VALUE;
}

void dev_cancel(dev_channel* dev) {
    SetEvent(dev->stop_event);
}

void dev_free(dev_channel* dev) {
    if (dev == nullptr) return;
    dev_close(dev);
    CloseHandle(dev->io_event);
    CloseHandle(dev->stop_event);
    xfree(dev->path);
    xfree(dev);
}
