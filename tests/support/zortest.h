// Test support shared by every test binary: temporary installation roots and
// a runner that drives the real zorhost the way a person does.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <vector>

namespace zortest {

/// A temporary directory tree standing in for "/" (ZOR_ROOT); removed at the end.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return _path; }
    /// Absolute path of a path inside the root ("etc/x" or "/etc/x").
    std::string at(const std::string& relative) const;
    /// Writes a file, creating its folders.
    void write(const std::string& relative, const std::string& content) const;
    /// Creates a folder and its parents.
    void mkdir(const std::string& relative) const;
    /// Copies a file of tests/data into the root.
    void copyData(const std::string& dataFile, const std::string& relative) const;

private:
    std::string _path;
};

/// Whole content of a file; throws std::runtime_error when it cannot be read.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

/// What one zorhost invocation did.
struct HostRun {
    int status = -1;                     ///< exit status, or 128+signal
    std::string out;                     ///< standard output
    std::string err;                     ///< standard error
    std::vector<nlohmann::json> replies; ///< with --json: one object per line of out
};

/// Runs a built program of the output folder (see binPath) with args, feeding
/// stdinText on standard input; replies stay empty.
HostRun runProgram(const std::string& name, const std::vector<std::string>& args, const std::string& stdinText = "");

/// Runs the built zorhost with args, feeding stdinText on standard input.
HostRun runZorhost(const std::vector<std::string>& args, const std::string& stdinText = "");

/// Runs "zorhost --json --root root --script -" over a script of request lines.
HostRun runScript(const TempRoot& root, const std::string& script,
                  const std::vector<std::string>& extraArgs = {});

/// Path of a built binary or library in the output folder.
std::string binPath(const std::string& name);

/// Polls until done() holds, for at most a minute (a slow machine is fine).
bool eventually(const std::function<bool()>& done);

/// A socket of type (SOCK_STREAM or SOCK_DGRAM) bound to 127.0.0.1 on a port
/// the system picks, not listening; -1 on failure. The caller closes it.
int loopbackSocket(int type, int* port);

} // namespace zortest
