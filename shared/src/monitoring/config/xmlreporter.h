// The receiver of the parser library's diagnostics for one XML environment
// (xmlenvironment.h): whether a document was reported bad, and where and why.
#pragma once

#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include <string>

/// Counts errors and keeps the last diagnostic. Its flag is sticky on
/// purpose: the parser library's resetErrors does not clear it, so that in
/// the module's environment a configuration once seen corrupt makes every
/// later parse fail and is never silently half-trusted. Only clear() (its
/// environment's owner) lowers it.
class DOMTreeErrorReporter : public xercesc::ErrorHandler {
public:
    /// echo: diagnostics are also written to standard error, as the module's
    /// logs have always shown them.
    explicit DOMTreeErrorReporter(bool echo = true) : _echo(echo) {}
    ~DOMTreeErrorReporter() override = default;
    /// Warnings neither print nor count.
    void warning(const xercesc::SAXParseException& toCatch) override;
    void error(const xercesc::SAXParseException& toCatch) override;
    void fatalError(const xercesc::SAXParseException& toCatch) override;
    /// Does nothing: the flag is never cleared by a parse (see the class comment).
    void resetErrors() override;
    /// Lowers the flag and forgets the diagnostic.
    void clear();
    bool getSawErrors() const { return fSawErrors; }
    /// Where and why the parser last reported an error ("line L, column C:
    /// message"); empty while none was reported. Start-up logs it, since the
    /// exception of a failed parse only says that parsing failed.
    const std::string& lastDiagnostic() const { return fLastDiagnostic; }

    bool fSawErrors = false;
    std::string fLastDiagnostic;

private:
    void note(const char* prefix, const xercesc::SAXParseException& toCatch);

    bool _echo;
};
