// An XML environment: the error state that parses share and how a failed
// parse is reported, plus the start and stop of the XML platform.
//
// The module parses in the one process-wide environment, whose error flag is
// sticky: once a document in it failed, every later parse answers "Parsing
// errors occurred" (see DOMTreeErrorReporter). Host-side code that must judge
// each text on its own makes an environment of its own (hostparse.h), which
// nothing the module's or anybody else's parse did can touch.
#pragma once

#include "xmlreporter.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

XERCES_CPP_NAMESPACE_BEGIN
class InputSource;
class XercesDOMParser;
XERCES_CPP_NAMESPACE_END

class XmlEnvironment {
public:
    /// echo: the reporter also writes each diagnostic to standard error.
    explicit XmlEnvironment(bool echo = true) : _reporter(echo) {}
    XmlEnvironment(const XmlEnvironment&) = delete;
    XmlEnvironment& operator=(const XmlEnvironment&) = delete;

    /// The environment of every parse of MonitoringConfiguration.
    static XmlEnvironment& process();

    DOMTreeErrorReporter& reporter() { return _reporter; }
    const DOMTreeErrorReporter& reporter() const { return _reporter; }
    /// Why the last load or loadPresets in this environment failed.
    std::string& loadFailure() { return _loadFailure; }

    /// Runs work (which parses and returns true when the parser counted
    /// errors) and reports every failure as every parse does: the library's
    /// exceptions become a MonitoringException with their message, anything
    /// else "An error occured during parsing", and an error seen by the
    /// reporter (now or in any earlier parse here) "Parsing errors occurred".
    /// discard runs first, to let go of the failed parser.
    void guard(const std::function<bool()>& work, const std::function<void()>& discard);
    /// Parses a whole document into a DOM with a new ConfigurationParser.
    std::unique_ptr<xercesc::XercesDOMParser> parseDocument(const xercesc::InputSource& source, bool validate);
    /// The reason of a failed parse: the parser's own diagnostic when this
    /// parse produced one, else the earlier failure that makes every parse fail.
    std::string failureReason(const std::string& diagnosticBefore, bool sawErrorsBefore,
                              const std::string& failure) const;

private:
    DOMTreeErrorReporter _reporter;
    std::string _loadFailure;
};

/// Starts the XML platform for one user of this copy of the library; throws
/// MonitoringException when the parser library cannot start.
void StartXMLPlatform();
/// Ends one user's start. The last user of this copy first runs release
/// (what was made with the platform: transcoder, printer, kept readers), then
/// the platform stops unless another copy of the library still holds it.
void StopXMLPlatform(const std::function<void()>& release);

// The process-wide environment under the names its users have always called.

/// The process-wide reporter.
DOMTreeErrorReporter* GetXMLErrorReporter();
/// Clears the sticky error flag of this copy of the library, for a host
/// component whose loads stand each on its own (the host's monitor thread
/// judges every committed file afresh). The module never calls it: its own
/// copy of the flag, inside the module, lasts as the module's rules say.
void resetXMLErrors();
/// The same, for tests: a test binary that runs bad documents would
/// otherwise poison every later test in the process.
void resetXMLErrorsForTest();
/// Held around each parse by a host whose own copy of this library parses on
/// several threads (zorhostd's monitor thread, its check of request texts,
/// its console): the process-wide environment, the kept request reader and
/// the printer are shared. The module never takes it: it parses on its
/// host's request path alone.
std::mutex& hostParseMutex();
/// XmlEnvironment::process().loadFailure().
std::string& LoadFailureText();
/// XmlEnvironment::process().guard(work, discard).
void ParseGuarded(const std::function<bool()>& work, const std::function<void()>& discard);
/// XmlEnvironment::process().parseDocument(source, validate).
std::unique_ptr<xercesc::XercesDOMParser> ParseConfigurationDocument(const xercesc::InputSource& source,
                                                                     bool validate);
/// XmlEnvironment::process().failureReason(...).
std::string ParseFailureReason(const std::string& diagnosticBefore, bool sawErrorsBefore, const std::string& failure);
