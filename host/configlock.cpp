#include "configlock.h"

#include "zorpath.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

std::string configLockPath()
{
    std::string folder = zorResolvePath("/etc/configs/monitor/");
    struct stat status {};
    if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return std::string();
    }
    return zorResolvePath("/etc/configs/monitor/Monitor.cfg.lock");
}

ConfigLock::~ConfigLock()
{
    if (_fd >= 0) {
        close(_fd); // closing releases the lock
    }
}

zor::Expected<void> ConfigLock::acquire(const std::string& path, double waitSeconds)
{
    _fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (_fd < 0) {
        return zor::Error{"cannot open lock file " + path + ": " + std::strerror(errno)};
    }
    // Polled rather than F_SETLKW: the wait must end on time, and a signal
    // timer would reach the module as well.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
    for (;;) {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fcntl(_fd, F_SETLK, &lock) == 0) {
            return {};
        }
        if (errno != EACCES && errno != EAGAIN) {
            return zor::Error{"cannot lock " + path + ": " + std::strerror(errno)};
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    struct flock holder {};
    holder.l_type = F_WRLCK;
    holder.l_whence = SEEK_SET;
    std::string who = "another process";
    if (fcntl(_fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK) {
        who = "process " + std::to_string(holder.l_pid);
        // zorhostd holds the lock for as long as it runs: its clients edit
        // through it, not beside it.
        std::ifstream comm("/proc/" + std::to_string(holder.l_pid) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "zorhostd") {
            who += " (zorhostd, which serves the configuration: send the requests with --connect)";
        }
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", waitSeconds);
    close(_fd);
    _fd = -1;
    return zor::Error{"the configuration is being edited by " + who + " (lock " + path + "); gave up after " +
                      seconds + " seconds (--lock-wait)"};
}
