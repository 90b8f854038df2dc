// The configuration files on disk: opening one for reading without
// blocking, and replacing one atomically.
#include "configfiles.h"

#include "monitoring.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

std::string followSymbolicLinks(const std::string& path)
{
    std::string current = path;
    // As many links as the kernel follows in one path; a longer chain or a
    // loop is left as it is and fails where it is used.
    for (int links = 0; links < 40; ++links) {
        struct stat status {};
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return current;
        }
        std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
        ssize_t length = ::readlink(current.c_str(), &target[0], target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return current;
        }
        target.resize(static_cast<std::size_t>(length));
        if (target[0] != '/') {
            std::string::size_type slash = current.find_last_of('/');
            target = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + target;
        }
        current = target;
    }
    return current;
}

namespace {

std::string directoryOf(const std::string& filename)
{
    std::string::size_type slash = filename.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : filename.substr(0, slash);
}

} // namespace

bool writeAll(int fd, const std::string& content)
{
    const char* data = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

bool replaceFileAtomically(const std::string& linkOrFile, const std::function<bool(int fd)>& write)
{
    static unsigned int sequence = 0;
    const std::string filename = followSymbolicLinks(linkOrFile);
    std::string::size_type slash = filename.find_last_of('/');
    std::string base = slash == std::string::npos ? filename : filename.substr(slash + 1);
    std::string prefix = filename.substr(0, filename.size() - base.size()) + "." + base + ".tmp.";

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = prefix + std::to_string(::getpid()) + "." + std::to_string(++sequence);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return false;
        }
    }
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    struct stat old {};
    if (::stat(filename.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        // Set before the rename, so the file never shows other permissions.
        // Only root may give a file away; for anyone else it is no failure
        // when the ids are already the ones the new file got.
        struct stat created {};
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            ok = ::fstat(fd, &created) == 0 && created.st_uid == old.st_uid && created.st_gid == old.st_gid;
        }
        ok = ok && ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    // A writer that throws fails the replacement like a failed write.
    try {
        ok = ok && write(fd);
    } catch (...) {
        ok = false;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), filename.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Make the rename itself durable. Failing here cannot be undone any more
    // (the new file is in place), and some file systems refuse to sync a
    // directory at all, so the result is not checked.
    int directory = ::open(directoryOf(filename).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        (void)::fsync(directory);
        ::close(directory);
    }
    return true;
}


int openRegularFile(const std::string& filename, std::string& failure)
{
    int fd = ::open(filename.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failure = std::strerror(errno);
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        failure = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        failure = "not a regular file";
    } else if (status.st_size > kMaxConfigurationFileSize) {
        failure = std::to_string(status.st_size) + " bytes, more than the " +
                  std::to_string(kMaxConfigurationFileSize) + " (256 MiB) a configuration file may hold";
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

bool readRegularFile(const std::string& filename, std::string& content, std::string& failure)
{
    content.clear();
    int fd = openRegularFile(filename, failure);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    // Sized once: growing by doubling would hold up to three times the file.
    if (::fstat(fd, &status) == 0) {
        content.reserve(static_cast<std::size_t>(status.st_size) + 1);
    }
    char buffer[16 * 1024];
    bool ok = true;
    while (ok) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            content.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            failure = std::strerror(errno);
            ok = false;
        }
    }
    ::close(fd);
    return ok;
}
