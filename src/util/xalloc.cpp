#include "util/xalloc.h"

#include <cstdlib>
#include <cstring>

#include "util/log.h"

namespace {

[[noreturn]] void exhausted(const char* message) {
    log_failure("%s", message);
    std::exit(1);
}

}  // namespace

void* xmalloc(std::size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr && size != 0) exhausted("malloc: memory exhausted\n");
    return block;
}

void* xrealloc(void* block, std::size_t size) {
    void* grown = std::realloc(block, size);
    if (grown == nullptr && size != 0) exhausted("realloc: memory exhausted\n");
    return grown;
}

char* xstrdup(const char* text) {
    std::size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy == nullptr) exhausted("strdup: memory exhausted\n");
    return static_cast<char*>(std::memcpy(copy, text, size));
}

void xfree(void* block) {
    std::free(block);
}
