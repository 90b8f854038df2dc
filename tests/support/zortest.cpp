#include "zortest.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace zortest {

TempRoot::TempRoot()
{
    std::string pattern = (fs::temp_directory_path() / "zorroot.XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    _path = buf.data();
}

TempRoot::~TempRoot()
{
    std::error_code ec;
    fs::permissions(_path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(_path, ec);
}

std::string TempRoot::at(const std::string& relative) const
{
    std::string rel = relative;
    while (!rel.empty() && rel[0] == '/') {
        rel.erase(0, 1);
    }
    return _path + "/" + rel;
}

void TempRoot::write(const std::string& relative, const std::string& content) const
{
    fs::path p = at(relative);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + p.string());
    }
}

void TempRoot::mkdir(const std::string& relative) const { fs::create_directories(at(relative)); }

void TempRoot::copyData(const std::string& dataFile, const std::string& relative) const
{
    write(relative, readFile(std::string(ZOR_TEST_DATA) + "/" + dataFile));
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string& path) { return fs::exists(path); }

std::string binPath(const std::string& name) { return std::string(ZOR_BIN_DIR) + "/" + name; }

HostRun runProgram(const std::string& name, const std::vector<std::string>& args, const std::string& stdinText)
{
    TempRoot io;
    io.write("in", stdinText);
    std::string outPath = io.at("out");
    std::string errPath = io.at("err");

    // Everything the child needs is made before the fork, so the child only
    // calls dup2, execv and _exit: tests may run programs from several
    // threads at once, and a child of a threaded process must not allocate.
    std::string exe = binPath(name);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    int in = open(io.at("in").c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = in >= 0 && out >= 0 && err >= 0 ? fork() : -1;
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    for (int fd : {in, out, err}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (pid < 0) {
        throw std::runtime_error("cannot start " + exe);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);

    HostRun run;
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    run.out = readFile(outPath);
    run.err = readFile(errPath);
    return run;
}

HostRun runZorhost(const std::vector<std::string>& args, const std::string& stdinText)
{
    HostRun run = runProgram("zorhost", args, stdinText);
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '{') {
            run.replies.push_back(nlohmann::json::parse(line));
        }
    }
    return run;
}

int loopbackSocket(int type, int* port)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

HostRun runScript(const TempRoot& root, const std::string& script, const std::vector<std::string>& extraArgs)
{
    std::vector<std::string> args = {"--json", "--root", root.path()};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    args.push_back("--script");
    args.push_back("-");
    return runZorhost(args, script);
}

bool eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 600; ++i) {
        if (done()) {
            return true;
        }
        usleep(100000);
    }
    return done();
}

} // namespace zortest
