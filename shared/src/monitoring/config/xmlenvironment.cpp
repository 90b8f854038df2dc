#include "xmlenvironment.h"

#include "monitoringexception.h"
#include "xmlhardening.h"
#include "xmltext.h"

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include <iostream>

using namespace xercesc;

XmlEnvironment& XmlEnvironment::process()
{
    // Never destroyed: the module's parses may run from static destructors
    // of its host after this file's statics are gone.
    static XmlEnvironment* environment = new XmlEnvironment();
    return *environment;
}

void XmlEnvironment::guard(const std::function<bool()>& work, const std::function<void()>& discard)
{
    MonitoringException failure;
    bool failed = false;
    try {
        failed = work();
    } catch (const XMLException& toCatch) {
        std::cerr << "An error occured during parsing\n   Message: " << toNarrow(toCatch.getMessage()) << std::endl;
        failure.setMessage(toCatch.getMessage());
        failed = true;
    } catch (const DOMException& toCatch) {
        std::string text =
            "A DOM error occured during parsing.   DOMException code: " + std::to_string(toCatch.code);
        std::cerr << text << std::endl;
        failure.setMessage(text);
        failed = true;
    } catch (...) {
        std::string text = "An error occured during parsing\n ";
        std::cerr << text << std::endl;
        failure.setMessage(text);
        failed = true;
    }
    if (failed || _reporter.getSawErrors()) {
        discard();
        if (!failure.getMessage().empty()) {
            throw failure;
        }
        throw MonitoringException(std::string("Parsing errors occurred"));
    }
}

std::unique_ptr<XercesDOMParser> XmlEnvironment::parseDocument(const InputSource& source, bool validate)
{
    std::unique_ptr<XercesDOMParser> parser;
    guard(
        [&] {
            parser = std::make_unique<ConfigurationParser>();
            ConfigureConfigurationParser(*parser, validate, _reporter);
            parser->parse(source);
            return parser->getErrorCount() > 0;
        },
        [&] { parser.reset(); });
    return parser;
}

std::string XmlEnvironment::failureReason(const std::string& diagnosticBefore, bool sawErrorsBefore,
                                          const std::string& failure) const
{
    const std::string& diagnostic = _reporter.lastDiagnostic();
    if (sawErrorsBefore && diagnostic == diagnosticBefore) {
        return "an earlier document failed to parse" + (diagnostic.empty() ? "" : " (" + diagnostic + ")");
    }
    return diagnostic.empty() ? failure : diagnostic;
}

namespace {

// How many users of this copy of the library hold the platform. The parser
// library counts its own initialisations across copies; this count says
// when what this copy made with the platform must go.
std::mutex gPlatformMutex;
int gPlatformUsers = 0;

} // namespace

void StartXMLPlatform()
{
    std::lock_guard<std::mutex> lock(gPlatformMutex);
    try {
        XMLPlatformUtils::Initialize();
    } catch (const XMLException& toCatch) {
        std::cerr << "Error during Xerces-c Initialization.\n"
                  << "  Exception message:" << asciiOrMarked(toCatch.getMessage()) << std::endl;
        throw MonitoringException(toCatch.getMessage());
    }
    ++gPlatformUsers;
    PrepareTranscoder();
}

void StopXMLPlatform(const std::function<void()>& release)
{
    std::lock_guard<std::mutex> lock(gPlatformMutex);
    if (gPlatformUsers == 0) {
        return;
    }
    if (--gPlatformUsers == 0) {
        release();
        ReleaseTranscoder();
    }
    XMLPlatformUtils::Terminate();
}

DOMTreeErrorReporter* GetXMLErrorReporter() { return &XmlEnvironment::process().reporter(); }

void resetXMLErrors() { XmlEnvironment::process().reporter().clear(); }

void resetXMLErrorsForTest() { resetXMLErrors(); }

std::mutex& hostParseMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::string& LoadFailureText() { return XmlEnvironment::process().loadFailure(); }

void ParseGuarded(const std::function<bool()>& work, const std::function<void()>& discard)
{
    XmlEnvironment::process().guard(work, discard);
}

std::unique_ptr<XercesDOMParser> ParseConfigurationDocument(const InputSource& source, bool validate)
{
    return XmlEnvironment::process().parseDocument(source, validate);
}

std::string ParseFailureReason(const std::string& diagnosticBefore, bool sawErrorsBefore, const std::string& failure)
{
    return XmlEnvironment::process().failureReason(diagnosticBefore, sawErrorsBefore, failure);
}
