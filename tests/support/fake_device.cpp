#include "support/fake_device.h"

dev_channel* dev_init(const char* path) {
    auto* dev = new dev_channel;
    dev_set_path(dev, path);
    return dev;
}

void dev_set_path(dev_channel* dev, const char* path) {
    dev->has_path = path != nullptr && path[0] != '\0';
    dev->path = dev->has_path ? path : "";
}

const char* dev_path(const dev_channel* dev) {
    return dev->has_path ? dev->path.c_str() : nullptr;
}

int dev_connect(dev_channel* dev) {
    dev->open = dev->has_path;
    return dev->open ? 0 : -1;
}

int dev_read(dev_channel*, void*, int) {
    return -1;
}

int dev_write(dev_channel* dev, const void* data, int size) {
    int attempt = dev->write_attempts++;
    if (dev->fail_write_from >= 0 && attempt >= dev->fail_write_from) return -1;
    dev->writes.emplace_back(static_cast<const char*>(data), static_cast<std::size_t>(size));
    if (dev->after_write) dev->after_write();
    return 0;
}

unsigned long dev_connect_error(const dev_channel* dev) {
    return dev->connect_error;
}

void dev_close(dev_channel* dev) {
    dev->open = false;
}

void dev_cancel(dev_channel* dev) {
    dev->cancelled = true;
}

void dev_free(dev_channel* dev) {
    delete dev;
}
