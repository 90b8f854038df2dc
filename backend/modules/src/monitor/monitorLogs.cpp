#include "monitorLogs.h"

#include "monitor.h"
#include "zorMonitorVariable.h"
#include "zormodparam.h"
#include "zorpath.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

std::string monitorLogs::_fname;
struct stat monitorLogs::_StatBuffer;
char monitorLogs::_Buffer[1024];

namespace {

const char* const kLogDirectory = "/var/log/monitor/";
const char* const kLogSuffix = ".log";
const int kLogUnavailable = -9;
const int kLogReadShort = -10000;
const int kInvalidRequest = -6;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

struct FdCloser {
    int fd;
    ~FdCloser() { close(fd); }
};

// The log name is the last key part, so it can never hold a "/"; only the
// fallback to the whole key (a key without parts) can. An empty name, or "."
// and "..", never name a log a client was shown by the list: they are refused
// before the file system is asked, so a client gets a reply that says what is
// wrong with the request instead of a missing ".log" file.
bool isLogName(const char* name)
{
    return name != nullptr && *name != '\0' && std::strchr(name, '/') == nullptr &&
           std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0;
}

// The log key serves the files of the log folder only. A symbolic link in
// the folder may name a log elsewhere in it, but not a file outside it (a
// link to /etc/shadow must not make it readable to every management client).
// False when path, with every link resolved, lies outside the resolved
// folder; true when it lies inside or does not resolve at all (a missing
// file, which the open then reports). resolved receives the resolved path.
bool insideLogFolder(const std::string& directory, const std::string& path, std::string& resolved)
{
    resolved.clear();
    std::unique_ptr<char, decltype(&free)> file(realpath(path.c_str(), nullptr), &free);
    if (!file) {
        return true;
    }
    resolved = file.get();
    std::unique_ptr<char, decltype(&free)> folder(realpath(directory.c_str(), nullptr), &free);
    const std::string inside = folder ? std::string(folder.get()) + "/" : std::string();
    return folder && resolved.compare(0, inside.size(), inside) == 0;
}

// True when the opened file (status from fstat) is the one at resolved, so
// that a link changed between the check and the open is not followed out.
bool sameFile(const std::string& resolved, const struct stat& status)
{
    struct stat there {};
    return !resolved.empty() && stat(resolved.c_str(), &there) == 0 && there.st_dev == status.st_dev &&
           there.st_ino == status.st_ino;
}

// Replies text followed by what it is about (a path or the key).
void reply(ZorModParam* parms, const char* text, const std::string& subject, int msgId)
{
    parms->setMessage(text, msgId);
    parms->appendMessage(subject.c_str());
}

// Refusals of requests that never reached the file system or the host carry
// their code in the reply as well as in the result.
int refuse(ZorModParam* parms, const char* text, const std::string& subject, int code)
{
    reply(parms, text, subject, code);
    return code;
}

} // namespace

int monitorLogs::getLogList(ZorModParam* parms, moduleData*)
{
    const std::string directory = zorResolvePath(kLogDirectory);
    std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
    if (!dir) {
        // The log replies keep code 0 in the reply; the failure is in the result.
        reply(parms, " Cannot open directory ", directory, 0);
        return kLogUnavailable;
    }
    bool listed = false;
    while (struct dirent* entry = readdir(dir.get())) {
        _fname = directory + entry->d_name;
        // Only regular files are logs: ".", ".." and subfolders never appear,
        // nor links to files outside the folder, which the log key refuses.
        // Only a link can lead out of the folder, so only links are resolved.
        std::string resolved;
        const bool mayLeadOut = entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN;
        if (stat(_fname.c_str(), &_StatBuffer) != 0 || !S_ISREG(_StatBuffer.st_mode) ||
            (mayLeadOut && !insideLogFolder(directory, _fname, resolved))) {
            continue;
        }
        if (listed) {
            parms->appendMessage(",");
        }
        parms->appendMessage(entry->d_name);
        listed = true;
    }
    if (!listed) {
        parms->setMessage(" No log files found", 0);
    }
    return 0;
}

int monitorLogs::getLogFile(ZorModParam* parms, moduleData*)
{
    const int parts = parms->getNumKeyParts();
    const char* name = parts > 0 ? parms->getKey(parts) : parms->getKey(0);
    if (!isLogName(name)) {
        return refuse(parms, " No valid log name in key ", parms->getKey(0), kLogUnavailable);
    }
    const std::string directory = zorResolvePath(kLogDirectory);
    _fname = directory + name + kLogSuffix;

    // A file outside the folder is not even opened (opening a device can do
    // something). What is served is opened first and examined on the
    // descriptor, so nothing can change between the check and the read.
    // Without blocking, so a FIFO (which then reads empty) or a device cannot
    // hold the request; the path is only asked about when the open fails, to
    // tell a missing file from one that cannot be opened (a socket, no
    // permission).
    std::string resolved;
    if (!insideLogFolder(directory, _fname, resolved)) {
        reply(parms, " Cannot open file: ", _fname, 0);
        return kLogUnavailable;
    }
    const int fd = open(_fname.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        struct stat status {};
        if (stat(_fname.c_str(), &status) != 0) {
            reply(parms, " Cannot determine status of file: ", _fname, 0);
        } else {
            reply(parms, " Cannot open file: ", _fname, 0);
        }
        return kLogUnavailable;
    }
    const FdCloser closeAtReturn{fd};
    if (fstat(fd, &_StatBuffer) != 0) {
        reply(parms, " Cannot determine status of file: ", _fname, 0);
        return kLogUnavailable;
    }
    if (!sameFile(resolved, _StatBuffer)) {
        reply(parms, " Cannot open file: ", _fname, 0);
        return kLogUnavailable;
    }
    if (S_ISDIR(_StatBuffer.st_mode)) {
        // Reading a folder yields no bytes; say so as for any short read,
        // whatever size the file system reports for folders.
        parms->setMessage(" Bytes read does not match file size", 0);
        return kLogReadShort;
    }
    const long long size = _StatBuffer.st_size;
    if (size > INT_MAX - static_cast<long long>(sizeof(_Buffer))) {
        // A reply is sized by an int; such a file cannot travel in one reply.
        return refuse(parms, " Log file too large to return: ", _fname, kLogUnavailable);
    }

    // Reserve the whole file and one read piece up front, then read straight
    // into the reply: the bytes are copied once, from the page cache, and the
    // reply is never copied to grow it. The parameter block keeps the memory
    // of a large reply for the next one, so a log fetched again is read into
    // pages that are already there.
    parms->setMessageSize(static_cast<int>(size) + static_cast<int>(sizeof(_Buffer)));
    long long total = 0;
    // Each read asks for the rest of the reported size and one piece more, so
    // a log that grew since its status was read shows as more bytes than
    // reported. Stop once more than the reported size has arrived: the answer
    // is then a short read either way, and a log that keeps growing cannot
    // hold the request open.
    while (total <= size) {
        const int room = static_cast<int>(size - total) + static_cast<int>(sizeof(_Buffer));
        const long got = parms->appendFrom(room, [fd](char* to, int n) { return read(fd, to, static_cast<size_t>(n)); });
        if (got <= 0) {
            break;
        }
        total += got;
    }
    if (total != size) {
        parms->setMessage(" Bytes read does not match file size", 0);
        return kLogReadShort;
    }
    return 0;
}

// The key is the registered path, the variable name and a "/". A key that
// ends right after the name is taken as that name, since the client's intent
// is plain; a key with further parts after the name is refused rather than
// answered for a name the client may not have meant.
int monitorLogs::getMonitorVariable(ZorModParam* parms, moduleData*)
{
    const std::string key = parms->getKey(0);
    static const std::string word = "variable";
    const size_t at = key.find(word);
    const size_t nameStart = at + word.size() + 1;
    if (at == std::string::npos || nameStart > key.size() || key[nameStart - 1] != '/') {
        return refuse(parms, " No variable name in key ", key, kInvalidRequest);
    }
    const std::string rest = key.substr(nameStart);
    const size_t slash = rest.find('/');
    std::string name = rest.substr(0, slash);
    if (name.empty()) {
        return refuse(parms, " No variable name in key ", key, kInvalidRequest);
    }
    if (slash != std::string::npos && slash + 1 != rest.size()) {
        return refuse(parms, " Unexpected parts after the variable name in key ", key, kInvalidRequest);
    }

    std::string value;
    const int code = ZORmonitorThread::getCurrentValue(&name, &value);
    parms->setMessage(value.c_str(), code);
    return code;
}

int monitorLogs::getMonitorInterval(ZorModParam* parms, moduleData* data)
{
    std::snprintf(data->monitorData, sizeof(data->monitorData), " Current monitoring interval is %ld seconds",
                  ZORmonitorThread::getMonitorInterval());
    parms->setMessage(data->monitorData, 0);
    return 0;
}
