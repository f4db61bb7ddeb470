#pragma once

struct ctl_context;

// Answers "GSTATS:<selector>"; 0 when the reply was written or none was due, -1 when the write
// failed.
int send_stats(ctl_context* ctx, const char* selector);
