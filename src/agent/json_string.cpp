#include "agent/json_string.h"

#include "agent/output_buffer.h"

namespace {

bool is_high_surrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// The code point that starts at *text; *text moves past it.
char32_t next_code_point(const char16_t** text) {
    char32_t unit = *(*text)++;
    if (is_high_surrogate(unit) && is_low_surrogate(**text)) {
        char32_t low = *(*text)++;
        return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    if (is_high_surrogate(unit) || is_low_surrogate(unit)) return 0xFFFD;
    return unit;
}

// One code point, escaped where JSON needs it or a reader should see it, NUL-terminated.
void encode(char32_t c, char* bytes) {
    const char* hex = "0123456789abcdef";
    if (c == '"' || c == '\\') {
        *bytes++ = '\\';
        *bytes++ = static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
        *bytes++ = '\\';
        *bytes++ = 'u';
        *bytes++ = '0';
        *bytes++ = '0';
        *bytes++ = hex[c >> 4];
        *bytes++ = hex[c & 15];
    } else if (c < 0x80) {
        *bytes++ = static_cast<char>(c);
    } else {
        int continuations = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        const unsigned char leads[] = {0, 0xC0, 0xE0, 0xF0};
        *bytes++ = static_cast<char>(leads[continuations] | (c >> (6 * continuations)));
        for (int shift = 6 * (continuations - 1); shift >= 0; shift -= 6)
            *bytes++ = static_cast<char>(0x80 | ((c >> shift) & 0x3F));
    }
    *bytes = '\0';
}

}  // namespace

void output_add_json_string(output_buffer* out, const char16_t* text) {
    output_add(out, "\"");
    while (*text != u'\0') {
        char bytes[8];
        encode(next_code_point(&text), bytes);
        output_add(out, bytes);
    }
    output_add(out, "\"");
}
