#pragma once

struct ctl_context;
struct output_buffer;

// The reply to "GSTATS:<selector>": one JSON object of the fragments the selector letters choose
// (C cpu, M memory, D disk, V volumes; case-sensitive, anywhere, any number of times), always in
// the order cpu, memory, disk, volumes, written with one device write.

// 0 when the reply was written or none was due (empty selector), -1 when the write failed.
int send_stats(ctl_context* ctx, const char* selector);

// ',' when any of letters occurs in selector (a later fragment follows), else ' '.
char json_need_comma(const char* selector, const char* letters);

// Each formats one fragment and appends it to out. get_cpu_stats blocks for the 2-second CPU
// window.
void get_cpu_stats(output_buffer* out, char separator);
void get_mem_stats(output_buffer* out, char separator);
void get_disk_stats(output_buffer* out);
// "volumes": an array of one object per volume, keys paths, volume, label, fs, used, free, total.
void get_volume_stats(output_buffer* out);
