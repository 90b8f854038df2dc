// The advisory lock that serialises editing sessions of one configuration
// across processes.
#pragma once

#include "zorexpected.h"

#include <string>

/// Where editing sessions lock: the lock file beside Monitor.cfg, through
/// the path resolver; empty when the configuration folder does not exist
/// (nothing could be committed there, so there is nothing to protect).
std::string configLockPath();

/// An fcntl write lock on a lock file, held for the life of the object (or
/// until the process ends). The module reads Monitor.cfg at the first
/// session open and writes all of it at a commit, so two editing processes
/// that overlap lose each other's changes; holding this lock from before
/// OpenSession until after CloseSession makes them take turns.
class ConfigLock {
public:
    ConfigLock() = default;
    ~ConfigLock();
    ConfigLock(const ConfigLock&) = delete;
    ConfigLock& operator=(const ConfigLock&) = delete;

    /// Takes the lock on path, waiting up to waitSeconds for its holder.
    /// The error says who holds it (its pid).
    zor::Expected<void> acquire(const std::string& path, double waitSeconds);

private:
    int _fd = -1;
};
