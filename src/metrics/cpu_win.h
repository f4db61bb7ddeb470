#pragma once

#include <windows.h>

#include <cstdint>

// A FILETIME's two 32-bit halves as one count: high word * 2^32 + low word.
std::uint64_t get_cpu_timeby_struct(const FILETIME* time);
