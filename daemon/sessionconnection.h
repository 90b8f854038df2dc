// One client's connection as the daemon's accepting side and its session
// thread share it. Internal to the daemon's sources.
#pragma once

#include "sessiondaemon.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

struct SessionDaemon::Connection {
    int fd = -1;
    std::mutex fdMutex; ///< the stop shuts fd's reading side; the thread closes it
    unsigned long id = 0;
    std::string who;
    uid_t uid = 0; ///< the peer's user
    std::thread thread;
    std::atomic<bool> finished{false};
    bool endedWithEdits = false; ///< written by the thread before finished
};
