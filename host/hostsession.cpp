#include "hostsession.h"

#include "monitoringexception.h"
#include "monitorsession.h"
#include "zor_error.h"
#include "zormodparam.h"
#include "zormonitor_host.h"

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <typeinfo>

namespace {

RequestScreen gScreen;
int gStandingCapture = -1; ///< the file fd 1 points at for good, see keepStdoutCaptured()

std::string demangle(const char* name)
{
    if (name == nullptr) {
        return "unknown";
    }
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 && text ? std::string(text.get()) : std::string(name);
}

/// Points fd 1 at the capture file for the life of the object. Both C
/// stdio and the C++ stream are flushed on each side, so nothing printed
/// before lands in the capture and nothing printed during it lands outside.
class StdoutRedirect {
public:
    explicit StdoutRedirect(int captureFd) : _captureFd(captureFd)
    {
        if (_captureFd < 0) {
            return;
        }
        if (_captureFd == gStandingCapture) {
            _standing = true; // fd 1 is there already
            return;
        }
        std::cout.flush();
        std::fflush(stdout);
        _saved = dup(STDOUT_FILENO);
        if (_saved >= 0 && dup2(_captureFd, STDOUT_FILENO) < 0) {
            close(_saved);
            _saved = -1;
        }
    }
    ~StdoutRedirect() { restore(); }
    StdoutRedirect(const StdoutRedirect&) = delete;
    StdoutRedirect& operator=(const StdoutRedirect&) = delete;

    /// Puts fd 1 back and returns what was written meanwhile.
    std::string restore()
    {
        if (_standing) {
            _standing = false;
            std::cout.flush();
            std::fflush(stdout);
        } else if (_saved < 0) {
            return std::string();
        } else {
            std::cout.flush();
            std::fflush(stdout);
            dup2(_saved, STDOUT_FILENO);
            close(_saved);
            _saved = -1;
        }
        std::string text;
        off_t size = lseek(_captureFd, 0, SEEK_CUR);
        if (size == 0) {
            return text; // the usual case: nothing printed, nothing to rewind
        }
        if (size > 0) {
            text.resize(static_cast<size_t>(size));
            ssize_t got = pread(_captureFd, &text[0], text.size(), 0);
            text.resize(got > 0 ? static_cast<size_t>(got) : 0);
        }
        if (ftruncate(_captureFd, 0) != 0 || lseek(_captureFd, 0, SEEK_SET) != 0) {
            // The next capture then starts behind old bytes; it still reads
            // from 0 to its own end, so nothing worse than a repeat happens.
        }
        return text;
    }

private:
    int _captureFd;
    int _saved = -1;
    bool _standing = false;
};

} // namespace

EscapedException describeCurrentException()
{
    try {
        throw;
    } catch (const zor_error& e) {
        const char* msg = e.getMsg();
        return {demangle(typeid(e).name()), msg != nullptr ? std::optional<std::string>(msg) : std::nullopt};
    } catch (const MonitoringException& e) {
        return {demangle(typeid(e).name()), e.getMessage()};
    } catch (const std::exception& e) {
        return {demangle(typeid(e).name()), std::string(e.what())};
    } catch (...) {
        std::type_info* type = abi::__cxa_current_exception_type();
        return {demangle(type != nullptr ? type->name() : nullptr), std::nullopt};
    }
}

HostSession::HostSession(const ModuleLibrary& module, int msgSize) : _module(module), _msgSize(msgSize)
{
    _moduleRecord.iStructSize = sizeof(module_funcs);
    _moduleRecord.iStructVersion = 1;
    _systemTable.iStructSize = sizeof(system_funcs);
    _systemTable.iStructVersion = 1;
    _systemTable.session = &_listener;
    _systemTable.global = nullptr; // no module uses the export object
}

HostSession::~HostSession()
{
    close();
    if (_captureFd >= 0 && !_captureShared) {
        ::close(_captureFd);
    }
}

bool HostSession::keepStdoutCaptured()
{
    if (gStandingCapture >= 0) {
        return true;
    }
    int fd = memfd_create("zorhost-module-stdout", MFD_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::cout.flush();
    std::fflush(stdout);
    if (dup2(fd, STDOUT_FILENO) < 0) {
        ::close(fd);
        return false;
    }
    gStandingCapture = fd;
    return true;
}

bool HostSession::captureStdout()
{
    if (_captureFd < 0 && gStandingCapture >= 0) {
        _captureFd = gStandingCapture;
        _captureShared = true;
    }
    if (_captureFd < 0) {
        _captureFd = memfd_create("zorhost-module-stdout", MFD_CLOEXEC);
    }
    return _captureFd >= 0;
}

std::optional<int> HostSession::open(std::optional<EscapedException>* thrown)
{
    try {
        return _module.openSession(&_moduleRecord, &_systemTable);
    } catch (...) {
        *thrown = describeCurrentException();
        return std::nullopt;
    }
}

// A session that failed to open after the module allocated its record is
// closed too: CloseSession is what frees that record.
zor::Expected<void> HostSession::start()
{
    std::optional<EscapedException> thrown;
    std::optional<int> opened = open(&thrown);
    if (opened && *opened == 0) {
        return {};
    }
    close();
    return zor::Error{"OpenSession failed: " +
                      (opened ? "result " + std::to_string(*opened)
                              : "exception " + thrown->type + (thrown->message ? ": " + *thrown->message : ""))};
}

void HostSession::close()
{
    if (_closed || _moduleRecord.private_data == nullptr) {
        return;
    }
    _closed = true;
    try {
        _module.closeSession(&_moduleRecord);
    } catch (...) {
        // Nothing is left to report a failing end of session to.
    }
}

RequestOutcome HostSession::run(const HostRequest& request)
{
    RequestOutcome outcome;
    unsigned long noticesBefore = zormonitor::configurationChangedCount();
    StdoutRedirect redirect(_captureFd);
    // Which of the host's own steps was under way, for the report when one
    // of them runs out of memory; the module's own failures are caught
    // around the entry point call and never reach the outer catch.
    const char* step = "building the parameter block";
    try {
        // Built exactly as the appliance's host builds it: key, value or
        // null, and the starting reply size.
        ZorModParam parms(request.key.c_str(), request.value ? request.value->c_str() : nullptr, _msgSize);
        step = "routing the request";
        if (request.forcedKeyId) {
            outcome.keyId = request.forcedKeyId;
            try {
                outcome.result = _module.entryFor(request.type)(&parms, *request.forcedKeyId, request.type,
                                                                _moduleRecord.private_data);
            } catch (...) {
                outcome.exception = describeCurrentException();
            }
        } else if (const KeyRow* row = _listener.route(request.type, request.key)) {
            outcome.keyId = row->keyId;
            std::string refusal = gScreen.before ? gScreen.before(request, row->keyId) : std::string();
            if (!refusal.empty()) {
                outcome.hostError = refusal;
                outcome.moduleStdout = redirect.restore();
                outcome.sessionDirty = sessionDirty();
                return outcome;
            }
            try {
                outcome.result = _module.entryFor(request.type)(&parms, row->keyId, row->type, row->instance);
            } catch (...) {
                outcome.exception = describeCurrentException();
            }
        } else {
            step = "writing the no such key reply";
            parms.setMessage("no such key", -1);
            outcome.result = -1;
        }
        step = "copying the reply";
        if (!outcome.exception) {
            outcome.msgID = parms.getMessageID();
        }
        const char* bytes = parms.getMessage(&outcome.used);
        int length = outcome.used;
        if (length > 0 && bytes[length - 1] == '\0') {
            --length;
        }
        outcome.reply.assign(bytes, static_cast<size_t>(length));
    } catch (...) {
        // The module either never saw the request or answered it; only the
        // host's copy failed. Its result, when it gave one, stands: the
        // change it made is real even though the reply is lost.
        EscapedException what = describeCurrentException();
        outcome.reply.clear();
        outcome.hostError = std::string("out of memory in the host while ") + step + " (" + what.type +
                            (what.message && !what.message->empty() ? ": " + *what.message : "") + ")";
    }
    outcome.notices = zormonitor::configurationChangedCount() - noticesBefore;
    outcome.moduleStdout = redirect.restore();
    outcome.sessionDirty = sessionDirty();
    if (gScreen.after && outcome.keyId && !request.forcedKeyId) {
        gScreen.after(request, *outcome.keyId, outcome);
    }
    return outcome;
}

void HostSession::setRequestScreen(RequestScreen screen) { gScreen = std::move(screen); }

// The session record is the host's to hold and to read. Its size tells
// whether it is the monitor module's record: another module (a test module,
// say) keeps something else there, and then nothing is read from it.
std::optional<bool> HostSession::sessionDirty() const
{
    if (_moduleRecord.private_data == nullptr ||
        _moduleRecord.iStructSize < offsetof(module_funcs, iPrivateDataSize) + sizeof(int32_t) ||
        _moduleRecord.iPrivateDataSize != static_cast<int32_t>(sizeof(moduleData))) {
        return std::nullopt;
    }
    return static_cast<const moduleData*>(_moduleRecord.private_data)->sessionDirty;
}
