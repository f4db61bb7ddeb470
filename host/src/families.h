#pragma once

#include <prometheus/metric_family.h>

#include <utility>
#include <vector>

// Small builders of the exposition's families, which prometheus-cpp's text format prints.
inline prometheus::MetricFamily family(
    const char* name, const char* help,
    prometheus::MetricType type = prometheus::MetricType::Gauge) {
    return {name, help, type, {}};
}

inline prometheus::ClientMetric sample(prometheus::MetricType type, double value,
                                       std::vector<prometheus::ClientMetric::Label> labels = {}) {
    prometheus::ClientMetric one;
    one.label = std::move(labels);
    if (type == prometheus::MetricType::Counter)
        one.counter.value = value;
    else
        one.gauge.value = value;
    return one;
}

// A family of one sample without labels.
inline prometheus::MetricFamily single(const char* name, const char* help,
                                       prometheus::MetricType type, double value) {
    prometheus::MetricFamily one = family(name, help, type);
    one.metric.push_back(sample(type, value));
    return one;
}
