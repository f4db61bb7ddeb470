#pragma once

#include <cstddef>

// Allocation that never returns null: on exhausted memory the process reports it (log.h) and
// ends with status 1.
void* xmalloc(std::size_t size);
void* xrealloc(void* block, std::size_t size);
char* xstrdup(const char* text);
void xfree(void* block);
