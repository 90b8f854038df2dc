#include "process.h"

#include "zorglobals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iostream>
#include <memory>

namespace zorhostd {

namespace {

constexpr unsigned char kStartFailed = 2;

std::string gLogPath;
std::unique_ptr<std::filebuf> gLogFile;
// Once the daemon serves, what the module and the XML library write on
// standard error (a parser's "Fatal Error at file ..." lines) goes to the
// log file too; until then start failures stay on the terminal.
bool gStderrInLog = false;
int gReadyPipe = -1;

bool openLog()
{
    auto fresh = std::make_unique<std::filebuf>();
    if (!fresh->open(gLogPath, std::ios::out | std::ios::app)) {
        return false;
    }
    zor_logstream.flush();
    zor_logstream.rdbuf(fresh.get());
    gLogFile = std::move(fresh); // closes the file it replaces
    return true;
}

} // namespace

bool openLogFile(const std::string& path)
{
    gLogPath = path;
    return openLog();
}

void stderrToLog()
{
    int fd = gLogPath.empty() ? -1 : open(gLogPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd >= 0) {
        std::cerr.flush();
        dup2(fd, STDERR_FILENO);
        close(fd);
        gStderrInLog = true;
    }
}

void reopenLog()
{
    if (!gLogPath.empty() && !openLog()) {
        zor_logstream << "zorhostd: cannot reopen the log file " << gLogPath << "; it stays on the old file"
                      << std::endl;
    } else if (gStderrInLog) {
        stderrToLog();
    }
}

void closeLog()
{
    zor_logstream.flush();
    zor_logstream.rdbuf(std::cerr.rdbuf());
}

bool daemonize()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child > 0) {
        close(fds[1]);
        int status = 0;
        waitpid(child, &status, 0);
        unsigned char code = kStartFailed;
        ssize_t n;
        do {
            n = read(fds[0], &code, 1);
        } while (n < 0 && errno == EINTR);
        _exit(n == 1 ? code : kStartFailed);
    }
    close(fds[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) {
        _exit(grandchild < 0 ? kStartFailed : 0);
    }
    gReadyPipe = fds[1];
    if (chdir("/") != 0) {
        // Every path was made absolute before; the folder only matters for core files.
    }
    return true;
}

void reportStart(unsigned char code)
{
    if (gReadyPipe < 0) {
        return;
    }
    if (write(gReadyPipe, &code, 1) != 1) {
        // The starting process is gone; nobody waits for the answer.
    }
    close(gReadyPipe);
    gReadyPipe = -1;
    if (code == 0) {
        // Nothing is read from or written to the terminal any more; the log
        // has its file.
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            close(null);
        }
    }
}

int takeInSignals()
{
    // Blocked before any thread starts, so every session thread inherits
    // the mask and the main loop alone takes the signals in.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    return signalfd(-1, &handled, SFD_CLOEXEC);
}

} // namespace zorhostd
