#pragma once

// scripts/bench --host: the HTTP side against strangers and the descriptor limit (web_bench.cpp).
void bench_web_side(const char* host_exe, int guests);
