// Handlers of the read-only log and live-value keys: the list of monitoring
// log files, the content of one log, the current value of one variable and
// the monitoring interval. Logs are written outside this module; live values
// come from the host's monitor thread.
#pragma once

#include <string>
#include <sys/stat.h>

class ZorModParam;
struct moduleData;

class monitorLogs {
public:
    /// Names of the regular files of the log directory, joined by ",".
    static int getLogList(ZorModParam* parms, moduleData* data);
    /// Raw bytes of the log named by the last key part (".log" is added), in one reply.
    static int getLogFile(ZorModParam* parms, moduleData* data);
    /// Current value of the variable named after "variable/" in the key, from the host.
    static int getMonitorVariable(ZorModParam* parms, moduleData* data);
    /// The host's monitoring interval as a sentence.
    static int getMonitorInterval(ZorModParam* parms, moduleData* data);

    /// Full path of the file being examined.
    static std::string _fname;
    /// Status (type and size) of that file.
    static struct stat _StatBuffer;
    /// One read piece of log content; a log's reply reserves this much beyond
    /// the file's size, so a log that grew shows as a short read, never as a
    /// regrown reply. The reads themselves go straight into the reply.
    static char _Buffer[1024];
};
