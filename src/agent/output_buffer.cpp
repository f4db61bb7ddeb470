#include "agent/output_buffer.h"

#include <cstring>

#include "util/xalloc.h"

void output_reset(output_buffer* out) {
    out->used = 0;
    if (out->data != nullptr) std::memset(out->data, 0, out->capacity);
}

void output_add(output_buffer* out, const char* text) {
    if (text == nullptr || text[0] == '\0') return;
    std::uint32_t len = static_cast<std::uint32_t>(std::strlen(text));
    // Greater-or-equal keeps room for the NUL even when the text would fill the storage exactly.
    if (out->used + len >= out->capacity) {
        out->capacity += len + 255;
        out->data = static_cast<char*>(xrealloc(out->data, out->capacity));
        // Everything past the used characters is NUL, the new storage included.
        std::memset(out->data + out->used, 0, out->capacity - out->used);
    }
    std::memcpy(out->data + out->used, text, len + 1);
    out->used += len;
}
