#include "monitoractions.h"

#include "spawn.h"
#include "variablecatalogue.h"
#include "zorpath.h"

namespace zormon {

namespace {

/// How long a shutdown or power-off command may run before it is killed.
constexpr int kCommandTimeoutMs = 60000;

} // namespace

ActionSettings parseActionSettings(const std::string& confText, std::vector<std::string>* problems)
{
    ActionSettings actions;
    forEachConfigLine(confText, [&](int number, const std::vector<std::string>& words) {
        const bool command = (words[0] == "shutdown" || words[0] == "power-off-drive") && words.size() >= 2 &&
                             words[1][0] == '/';
        const bool count = (words[0] == "delay" || words[0] == "boot-grace") && words.size() == 2 &&
                           words[1].size() <= 9 && words[1].find_first_not_of("0123456789") == std::string::npos;
        if (command) {
            std::vector<std::string> argv(words.begin() + 1, words.end());
            argv[0] = zorResolvePath(argv[0]);
            (words[0] == "shutdown" ? actions.shutdown : actions.powerOffDrive) = argv;
        } else if (count) {
            (words[0] == "delay" ? actions.delay : actions.bootGrace) = std::stol(words[1]);
        } else {
            problems->push_back("actions.conf line " + std::to_string(number) +
                                ": expected shutdown|power-off-drive /PROGRAM [ARG...], delay SECONDS or "
                                "boot-grace SECONDS");
        }
    });
    return actions;
}

CommandRunner::~CommandRunner() { wait(); }

void CommandRunner::run(std::vector<std::string> argv, Finished finished)
{
    std::lock_guard<std::mutex> lock(_mutex);
    for (size_t i = 0; i < _commands.size();) {
        if (_commands[i].done->load()) {
            _commands[i].thread.join();
            _commands.erase(_commands.begin() + static_cast<long>(i));
        } else {
            ++i;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([argv = std::move(argv), finished = std::move(finished), done] {
        finished(runProgramFirstLine(argv, kCommandTimeoutMs));
        done->store(true);
    });
    _commands.push_back({std::move(thread), std::move(done)});
}

void CommandRunner::wait()
{
    std::vector<Command> commands;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        commands.swap(_commands);
    }
    for (Command& command : commands) {
        command.thread.join();
    }
}

} // namespace zormon
