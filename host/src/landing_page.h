#pragma once

#include <string>

// The page at /: what this is and where the figures are, as the Prometheus exporters have it.
std::string landing_page_html(const std::string& telemetry_path);
