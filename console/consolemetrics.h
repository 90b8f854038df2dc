// What /metrics shows: the numeric variables' current values, the monitor
// thread's counters (MonitorThread::status()), the alerts' states and the
// alert managers' deliveries, the module sessions and the
// module parser's state, as metric families. Built from one snapshot, so
// that a scrape reads no file and each figure is taken once.
#pragma once

#include "metricfamily.h"
#include "monitorthread.h"

#include <string>
#include <utility>
#include <vector>

namespace console {

struct MetricsSnapshot {
    /// The variables that have a numeric value now, by name.
    std::vector<std::pair<std::string, double>> values;
    zormon::MonitorThreadStatus status;
    std::vector<zormon::AlertView> alerts; ///< MonitorThread::activeAlerts(); inactive ones get no series
    std::vector<zormon::ManagerStatus> managers;
    unsigned socketSessions = 0;
    unsigned consoleSessions = 0; ///< logins whose module session is open
    bool moduleParserOk = true;
};

std::vector<MetricFamily> consoleMetrics(const MetricsSnapshot& snapshot);

} // namespace console
