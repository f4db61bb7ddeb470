#pragma once

#include <prometheus/metric_family.h>

#include <vector>

// The process_* figures that Prometheus's client libraries give every exporter, from /proc:
// CPU seconds, resident and virtual memory, open and maximum descriptors, start time.
std::vector<prometheus::MetricFamily> render_process_metrics();
