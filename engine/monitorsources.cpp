#include "monitorsources.h"

#include "zorpath.h"

#include <chrono>
#include <system_error>

namespace zormon {

ProgramSource::ProgramSource(std::vector<std::string> argv, int timeoutMs)
    : _argv(std::move(argv)), _timeoutMs(timeoutMs)
{
}

ProgramSource::~ProgramSource()
{
    _cancel.store(true);
    if (_worker.joinable()) {
        _worker.join();
    }
}

void ProgramSource::setFinished(std::function<void()> finished)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _onFinished = std::move(finished);
}

unsigned long ProgramSource::request()
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_started > _finished) {
        return _started;
    }
    // The last worker has kept its result; at most it is still calling the
    // finished function, which never waits for this source.
    if (_worker.joinable()) {
        _worker.join();
    }
    const unsigned long ticket = ++_started;
    _cancel.store(false);
    try {
        _worker = std::thread([this, ticket] { run(ticket); });
    } catch (const std::system_error& e) {
        _finished = ticket;
        _available = false;
        _value = "cannot start a thread for " + _argv.at(0) + ": " + e.what();
    }
    return ticket;
}

void ProgramSource::run(unsigned long ticket)
{
    zor::Expected<std::string> output = runProgramFirstLine(_argv, _timeoutMs, &_cancel);
    std::function<void()> finished;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _finished = ticket;
        _available = output.hasValue();
        _value = output ? std::move(*output) : output.error();
        finished = _onFinished;
    }
    _done.notify_all();
    if (finished) {
        finished();
    }
}

bool ProgramSource::result(unsigned long ticket, bool* available, std::string* value) const
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_finished < ticket) {
        return false;
    }
    *available = _available;
    *value = _value;
    return true;
}

bool ProgramSource::read(std::string* value)
{
    const unsigned long ticket = request();
    std::unique_lock<std::mutex> lock(_mutex);
    // The run ends by its timeout; the margin covers killing and reaping it.
    if (!_done.wait_for(lock, std::chrono::milliseconds(_timeoutMs) + std::chrono::seconds(5),
                        [&] { return _finished >= ticket; })) {
        *value = _argv.at(0) + " is still running";
        return false;
    }
    *value = _value;
    return _available;
}

void ProgramSource::cancel() { _cancel.store(true); }

std::vector<VariableDefinition> definedVariables(const std::string& confText, int programTimeoutMs,
                                                 std::vector<std::string>* problems)
{
    std::vector<VariableDefinition> found;
    for (VariableDeclaration& declared : parseVariablesConf(confText, problems)) {
        std::vector<std::string> words = std::move(declared.words);
        words[0] = zorResolvePath(words[0]);
        switch (declared.kind) {
        case VariableDeclaration::Kind::program: {
            auto program = std::make_shared<ProgramSource>(std::move(words), programTimeoutMs);
            found.push_back({declared.name, declared.definition,
                             [program](std::string* value) { return program->read(value); }, program});
            break;
        }
        case VariableDeclaration::Kind::file:
            found.push_back({declared.name, declared.definition,
                             [path = words[0]](std::string* value) { return readFirstLine(path, value); }});
            break;
        case VariableDeclaration::Kind::freeSpace:
            found.push_back({declared.name, declared.definition,
                             [path = words[0]](std::string* value) { return readFreeSpace(path, value); }});
            break;
        }
    }
    return found;
}

} // namespace zormon
