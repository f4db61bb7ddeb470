#pragma once

// Hands the process to the service dispatcher; returns when the service has stopped.
void daemonize_process();
