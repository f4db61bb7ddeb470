#pragma once

struct ctl_context;

// The guest side of the host's command protocol: one message is split at ";" into tokens;
// "PING" is answered with "PONG", "GSTATS:<selector>" with the statistics report.

// Returns the next token of *cursor and advances it, in the manner of strtok: runs of ";" count
// as one separator and no token is empty. Null when no token is left.
char* ctl_next_token(char** cursor);

// Handles one message; 0 when it has been handled, -1 when a reply could not be written. Once
// the stop flag is set, the command in progress completes and no further one starts.
int ctl_command(ctl_context* ctx, char* text);

int ping_pong(ctl_context* ctx);
