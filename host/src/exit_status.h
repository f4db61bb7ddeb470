#pragma once

// The exit statuses of vorna-stats-host, as the manual page and the README list them.
enum exit_status : int {
    kExitOk = 0,
    kExitCannotServe = 1,    // export: the listen address cannot be served
    kExitUsage = 2,          // the command line is wrong
    kExitConnection = 3,     // query: no connection, it ended before the reply was complete,
                             // or another client holds the channel
    kExitTimeout = 4,        // query: no complete reply within the timeout
    kExitInvalidReply = 5,   // query: not PONG or not a report the agent can send, over 64 KiB,
                             // or a channel that never went quiet
};
