#include "monitoractions.h"

#include "monitorlogic.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace zormon {

MonitorLog::MonitorLog(std::string folder, HostLog hostLog) : _folder(std::move(folder)), _hostLog(std::move(hostLog))
{
    if (!_folder.empty() && _folder.back() != '/') {
        _folder += '/';
    }
}

bool MonitorLog::append(std::time_t when, const std::string& text)
{
    const std::string path = _folder + dayLogName(when);
    const std::string line = logLine(when, text);
    std::error_code ignored; // the folder may be new on a fresh system; an error shows at open
    std::filesystem::create_directories(_folder, ignored);
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool written = false;
    int error = errno;
    if (fd >= 0) {
        const ssize_t done = write(fd, line.data(), line.size());
        error = errno;
        written = done == static_cast<ssize_t>(line.size());
        close(fd);
    }
    if (!written && !_failing) {
        _hostLog("cannot write the monitoring log " + path + ": " + std::strerror(error) +
                 " (reported once until a write succeeds)");
    }
    _failing = !written;
    return written;
}

void MonitorLog::removeOld(std::time_t now, int keepDays)
{
    if (keepDays < 1) {
        return;
    }
    // The oldest day kept, as its file name: names of one form sort by date.
    const std::string oldestKept = dayLogName(now - static_cast<std::time_t>(keepDays - 1) * 86400);
    DIR* dir = opendir(_folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (dirent* item = readdir(dir)) {
        const std::string name = item->d_name;
        const bool dayFile = name.size() == 13 && name[0] == 'd' && name.compare(9, 4, ".log") == 0 &&
                             name.find_first_not_of("0123456789", 1) == 9;
        if (dayFile && name < oldestKept) {
            if (unlink((_folder + name).c_str()) != 0) {
                _hostLog("cannot remove old monitoring log " + _folder + name + ": " + std::strerror(errno));
            }
        }
    }
    closedir(dir);
}

} // namespace zormon
