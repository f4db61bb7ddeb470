#pragma once

#include <prometheus/exposer.h>

#include <memory>
#include <string>
#include <vector>

#include "web_config.h"

// The exporter's HTTP side: /metrics, the landing page at /, and, as the web configuration
// asks, TLS (set up here on the embedded server's OpenSSL context) and basic authentication of
// every path. listen is ADDR:PORT or :PORT (every address). options go to the embedded server
// as they are (threads, time limits). Nothing, with the reason in *error, when it cannot serve.
std::unique_ptr<prometheus::Exposer> start_web_server(const std::string& listen,
                                                      const web_config& config,
                                                      std::vector<std::string> options,
                                                      std::string* error);
