#include "audittrail.h"

#include "hostsession.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

const char* const kCurrent = "audit.log";

std::string localTime(std::time_t when, const char* format)
{
    std::tm tm{};
    localtime_r(&when, &tm);
    char text[32];
    std::strftime(text, sizeof text, format, &tm);
    return text;
}

/// A user or peer as one blank-free field.
std::string field(const std::string& text)
{
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= ' ' || c == 0x7f || c == '%') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out.empty() ? "-" : out;
}

std::string unfield(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out == "-" ? "" : out;
}

/// The free text of a line: a line feed or other control character in it
/// (a variable's name, an e-mail address) would start a line of its own.
std::string oneLine(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) c = ' ';
    }
    return out;
}

/// "20261207" of an audit-20261207.log; empty for any other name.
std::string dayOfFile(const std::string& name)
{
    if (name.size() == 18 && name.compare(0, 6, "audit-") == 0 && name.compare(14, 4, ".log") == 0 &&
        name.find_first_not_of("0123456789", 6) == 14) {
        return name.substr(6, 8);
    }
    return "";
}

bool appendTo(const std::string& path, const std::string& text, int* error)
{
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    bool written = false;
    *error = errno;
    if (fd >= 0) {
        written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        *error = errno;
        close(fd);
    }
    return written;
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

AuditTrail::AuditTrail(AuditOptions options) : _options(std::move(options))
{
    if (!_options.folder.empty() && _options.folder.back() != '/') {
        _options.folder += '/';
    }
}

void AuditTrail::record(const std::string& event, const std::string& user, const std::string& peer,
                        const std::string& what)
{
    const std::string line =
        event + " user=" + field(user) + " peer=" + field(peer) + (what.empty() ? "" : " " + oneLine(what));
    {
        std::lock_guard<std::mutex> lock(_mutex);
        writeLine(_options.now(), line);
    }
    if (_options.daemonLog) {
        _options.daemonLog(line);
    }
}

void AuditTrail::setCommitted(std::vector<std::string> table)
{
    auto shared = std::make_shared<const std::vector<std::string>>(std::move(table));
    std::lock_guard<std::mutex> lock(_mutex);
    _committed = std::move(shared);
}

SharedTable AuditTrail::committedTable() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _committed;
}

SharedTable AuditTrail::committed(const std::string& user, const std::string& peer, std::vector<std::string> after)
{
    SharedTable kept;
    const std::string who = " user=" + field(user) + " peer=" + field(peer);
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        static const std::vector<std::string> kNone;
        const std::vector<std::string>& before = _committed ? *_committed : kNone;
        std::vector<std::string> changes = _options.describe ? _options.describe(before, after)
                                                             : std::vector<std::string>();
        _committed = std::make_shared<const std::vector<std::string>>(std::move(after));
        kept = _committed;
        lines.push_back("COMMIT" + who + " " +
                        (changes.empty()       ? std::string("no changes")
                         : changes.size() == 1 ? std::string("1 change")
                                               : std::to_string(changes.size()) + " changes"));
        for (const std::string& change : changes) {
            lines.push_back("CHANGE" + who + " " + oneLine(change));
        }
        // One clock reading: the lines of a commit carry one time.
        const std::time_t when = _options.now();
        for (const std::string& line : lines) {
            writeLine(when, line);
        }
    }
    if (_options.daemonLog) {
        for (const std::string& line : lines) {
            _options.daemonLog(line);
        }
    }
    return kept;
}

void AuditTrail::writeLine(std::time_t when, const std::string& line)
{
    rotate(when);
    int error = 0;
    std::error_code ignored; // a fresh system may not have the folder yet; an error shows at the write
    std::filesystem::create_directories(_options.folder, ignored);
    const bool written =
        appendTo(_options.folder + kCurrent, localTime(when, "%Y-%m-%d %H:%M:%S ") + line + "\n", &error);
    if (!written && !_failing && _options.daemonLog) {
        _options.daemonLog(std::string("cannot write the audit log ") + _options.folder + kCurrent + ": " +
                           std::strerror(error) + " (reported once until a write succeeds)");
    }
    _failing = !written;
}

void AuditTrail::rotate(std::time_t when)
{
    const std::string current = _options.folder + kCurrent;
    const std::string today = localTime(when, "%Y%m%d");
    if (_day.empty()) {
        // After a start: the day is that of the file's first line.
        std::ifstream in(current);
        std::string first;
        if (std::getline(in, first) && first.size() >= 10) {
            _day = first.substr(0, 4) + first.substr(5, 2) + first.substr(8, 2);
        }
    }
    if (_day.empty() || _day == today) {
        _day = today;
        return;
    }
    // A day file of that day exists only when the clock went back; the
    // lines go after those it holds.
    const std::string dayFile = _options.folder + "audit-" + _day + ".log";
    int error = 0;
    if (access(dayFile.c_str(), F_OK) != 0) {
        rename(current.c_str(), dayFile.c_str());
    } else if (appendTo(dayFile, readAll(current), &error)) {
        unlink(current.c_str());
    }
    _day = today;
    if (_options.keepDays < 1) {
        return;
    }
    // The oldest day kept, as the names write it: names of one form sort by date.
    const std::string oldestKept = localTime(when - static_cast<std::time_t>(_options.keepDays - 1) * 86400, "%Y%m%d");
    DIR* dir = opendir(_options.folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (dirent* item = readdir(dir)) {
        const std::string day = dayOfFile(item->d_name);
        if (!day.empty() && day < oldestKept) {
            unlink((_options.folder + item->d_name).c_str());
        }
    }
    closedir(dir);
}

bool commitWrote(const RequestOutcome& outcome)
{
    return !outcome.exception && outcome.result && *outcome.result >= 0 &&
           outcome.reply.find("No session changes") == std::string::npos;
}

std::vector<AuditCommit> readCommits(const std::string& folder, size_t offset, size_t limit, size_t* total)
{
    std::string dir = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    std::vector<std::string> days;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!dayOfFile(it->path().filename().string()).empty()) {
            days.push_back(it->path().filename().string());
        }
    }
    std::sort(days.begin(), days.end());
    days.push_back(kCurrent);
    // Oldest first, as the files hold them; the page wants the newest first.
    std::vector<AuditCommit> all;
    for (const std::string& name : days) {
        std::ifstream in(dir + name);
        std::string line;
        while (std::getline(in, line)) {
            if (line.size() < 21) continue;
            const std::string time = line.substr(0, 19);
            std::string rest = line.substr(20);
            const size_t a = rest.find(' ');
            const size_t b = a == std::string::npos ? a : rest.find(' ', a + 1);
            if (b == std::string::npos) continue;
            const size_t c = rest.find(' ', b + 1);
            const std::string event = rest.substr(0, a);
            const std::string user = rest.substr(a + 1, b - a - 1);
            const std::string peer = c == std::string::npos ? rest.substr(b + 1) : rest.substr(b + 1, c - b - 1);
            if (user.compare(0, 5, "user=") != 0 || peer.compare(0, 5, "peer=") != 0) continue;
            AuditCommit who{time, unfield(user.substr(5)), unfield(peer.substr(5)), {}};
            if (event == "COMMIT") {
                all.push_back(who);
            } else if (event == "CHANGE" && c != std::string::npos && !all.empty() && all.back().user == who.user &&
                       all.back().peer == who.peer) {
                all.back().changes.push_back(rest.substr(c + 1));
            }
        }
    }
    *total = all.size();
    std::vector<AuditCommit> page;
    for (size_t i = offset; i < all.size() && page.size() < limit; ++i) {
        page.push_back(std::move(all[all.size() - 1 - i]));
    }
    return page;
}
