#pragma once

#include <cstdint>

// Growable text buffer of one reply. Reused for every reply; it never shrinks. Whenever storage
// exists, the byte after the last used character is NUL.
struct output_buffer {
    std::uint32_t used;      // characters, not counting the NUL
    std::uint32_t capacity;  // bytes allocated; 0 while data is null
    char* data;
};

void output_reset(output_buffer* out);
void output_add(output_buffer* out, const char* text);
