#pragma once

// The exit statuses of vorna-stats-host, as the README lists them.
enum exit_status : int {
    kExitOk = 0,
    kExitCannotServe = 1,    // export: the listen address cannot be served
    kExitUsage = 2,          // the command line is wrong
    kExitConnection = 3,     // query: no connection, or it ended before the reply was complete
    kExitTimeout = 4,        // query: no complete reply within the timeout
    kExitInvalidReply = 5,   // query: the reply is not PONG, or not a JSON object
};
