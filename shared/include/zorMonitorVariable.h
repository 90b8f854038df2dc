// Interface of the host monitor library: the host's monitor thread, which
// samples the monitored variables, and its UDP message thread. The module
// only calls these static services.
#pragma once

#include <string>

class ZORmonitorThread {
public:
    /// Monitoring interval in seconds.
    static long getMonitorInterval();
    /// Current value text of a variable; returns 0, or a negative code for an unknown name.
    static int getCurrentValue(std::string* name, std::string* value);
    /// The number of supported variables, as text.
    static void getNumberOfVariables(std::string* text);
    /// The supported variables, as text.
    static void getVariableList(std::string* text);
    /// Description of one variable; returns 0, or a negative code for an unknown name.
    static int getDefinedValues(std::string* name, std::string* text);
    /// Tells the monitor thread to take up the new configuration file.
    static void setConfigurationChanged();
};

class ZORUDPThread {
public:
    /// Hands a text to the UDP message thread.
    static int postMessage(const char* text);
};
