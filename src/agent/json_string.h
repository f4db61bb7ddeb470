#pragma once

struct output_buffer;

// Appends text as a JSON string, quotes included: UTF-16 in, UTF-8 out. A surrogate without its
// pair becomes U+FFFD; '"' and '\' are escaped with a backslash, the controls below 0x20 and
// DEL as \u00XX.
void output_add_json_string(output_buffer* out, const char16_t* text);
