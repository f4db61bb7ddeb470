#pragma once

#include <cstdint>

// The guest's processors and their load. Times are cumulative counts of 100 ns units for all
// processors together.

// One sample of the machine's CPU times.
struct cpu_sample {
    std::uint64_t busy;
    std::uint64_t idle;
};

// busy = user + (kernel - idle): the kernel figure includes the idle time. Wraps modulo 2^64.
cpu_sample cpu_sample_of(std::uint64_t idle, std::uint64_t kernel, std::uint64_t user);

// Busy share in percent between two samples. Both differences wrap, so counters that overflowed
// between the samples still give the elapsed time. Not a number when no time elapsed.
double cpu_busy_percent(const cpu_sample& first, const cpu_sample& second);

// 0 and a sample, or -1 when the system times cannot be read (busy and idle are then untouched).
// On a system of several processor groups these are the calling thread's group's times alone.
int get_cpu_times(std::uint64_t* busy, std::uint64_t* idle);

// A sample of every processor group: the groups' times added up, which weights each group's
// load by its processors. Returns how many groups the sample covers (1: one call for the
// machine, where there are no groups or the group calls are missing or fail), or -1 when the
// system times cannot be read.
int get_cpu_sample(cpu_sample* sample);

// The active logical processors of the whole system, all processor groups together.
int get_cpu_count();

// Busy share in percent over a 2-second window; blocks for those 2 seconds unless the first
// sample fails. 0.0 when a sample fails.
double get_cpu_usage_percent();
