#pragma once

#include <prometheus/collectable.h>

#include <memory>
#include <string>
#include <vector>

#include "web_config.h"

// The exporter's HTTP side: /metrics, the landing page at /, and basic authentication of every
// path when the web configuration has users. It serves until destroyed.
class web_server {
public:
    virtual ~web_server() = default;
    virtual int port() const = 0;  // the one bound, when port 0 was asked for
};

// listen is ADDR:PORT or :PORT (every address). Without TLS, prometheus-cpp's embedded server
// serves, with options (threads, time limits) handed to it as they are; with TLS, the server of
// tls_web_server.h. Nothing, with the reason in *error, when it cannot serve.
std::unique_ptr<web_server> start_web_server(const std::string& listen, const web_config& config,
                                             std::vector<std::string> options,
                                             std::shared_ptr<prometheus::Collectable> metrics,
                                             std::string* error);
