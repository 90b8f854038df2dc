// ZORSmtp against the real aiosmtpd server (smtp_sink.py) on 127.0.0.1.
#include "zorglobals.h"
#include "zorsmtp.h"
#include "zortest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Strings = std::vector<std::string>;

namespace {

const char* const confPath = "configs/etc/quorvane/smtp.conf";

Strings settings(const ZORSmtp& smtp) { return {smtp.getServer(), std::to_string(smtp.getPort()), smtp.getFrom()}; }

// Each test runs in a root of its own with the sink serving it. The sink
// stops when its standard input, a pipe from here, closes.
class ZorSmtpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, chdir(_root.path().c_str()));
        _savedLog = zor_logstream.rdbuf(_log.rdbuf());
        zorGlobalUseSyslog = 0;
        _root.mkdir("mail");
        _sink = popen(("exec /usr/bin/python3 '" ZOR_SMTP_SINK "' '" + _root.at("mail") + "'").c_str(), "w");
        for (int i = 0; i < 1200 && _sink != nullptr && !zortest::fileExists(_root.at("mail/port")); ++i) {
            usleep(100000); // bounded generously for a slow machine
        }
        ASSERT_TRUE(zortest::fileExists(_root.at("mail/port"))) << "the aiosmtpd sink did not start";
        _port = std::stoi(zortest::readFile(_root.at("mail/port")));
        writeConfig("'127.0.0.1'\n" + std::to_string(_port) + "\n'alerts@appliance.test'");
    }
    void TearDown() override
    {
        if (_sink != nullptr) {
            pclose(_sink);
        }
        zor_logstream.rdbuf(_savedLog);
        std::filesystem::current_path(_cwd);
    }
    void writeConfig(const std::string& text) { _root.write(confPath, text); }
    /// Messages the sink accepted, oldest first.
    std::vector<nlohmann::json> mail() const
    {
        std::vector<nlohmann::json> all;
        for (std::string f; zortest::fileExists(f = _root.at("mail/" + std::to_string(all.size() + 1) + ".json"));) {
            all.push_back(nlohmann::json::parse(zortest::readFile(f)));
        }
        return all;
    }

    std::filesystem::path _cwd = std::filesystem::current_path();
    zortest::TempRoot _root;
    std::ostringstream _log;
    std::streambuf* _savedLog = nullptr;
    FILE* _sink = nullptr;
    int _port = 0;
};

TEST_F(ZorSmtpTest, ConfigurationFileRoundTripAndProblems)
{
    writeConfig("'mail.example.net'\n2525\n'alerts@example.net'");
    ZORSmtp smtp;
    EXPECT_EQ(Strings({"mail.example.net", "2525", "alerts@example.net"}), settings(smtp));
    smtp.setFrom(""); // an empty sender is left out, and no line end follows the port
    smtp.saveConfigFile();
    EXPECT_EQ("'mail.example.net'\n2525", zortest::readFile(confPath));
    EXPECT_EQ(Strings({"mail.example.net", "2525", ""}), settings(ZORSmtp()));
    smtp.setFrom("ops@example.net");
    smtp.saveConfigFile();
    EXPECT_EQ("'mail.example.net'\n2525\n'ops@example.net'", zortest::readFile(confPath));
    EXPECT_EQ("ops@example.net", ZORSmtp().getFrom());

    // Items that do not match keep their defaults; an overlong value is cut at 1023 characters.
    writeConfig("no quotes\nnot-a-port\n'x@example.net'");
    EXPECT_EQ(Strings({"", "25", ""}), settings(ZORSmtp()));
    writeConfig("'" + std::string(3000, 'x') + "'\n25\n'" + std::string(3000, 'y') + "'");
    EXPECT_EQ(Strings({std::string(1023, 'x'), "25", ""}), settings(ZORSmtp()));

    // Problems go to standard error, or to the system log when the host uses it.
    std::filesystem::remove(confPath);
    CaptureStderr();
    ZORSmtp missing;
    _root.mkdir(confPath); // a folder in the file's place cannot be written even by root
    missing.saveConfigFile();
    EXPECT_EQ("File read open error (configs/etc/quorvane/smtp.conf). Email is not configured\n"
              "Could not open configs/etc/quorvane/smtp.conf for saving\n",
              GetCapturedStderr());
    zorGlobalUseSyslog = 1;
    CaptureStderr();
    ZORSmtp().saveConfigFile();
    EXPECT_EQ("", GetCapturedStderr());
}

TEST_F(ZorSmtpTest, MessageCallbackGivesTheFixedLinesThenTheBody)
{
    msgState_t state;
    state.msgBody = "Fan 2 stopped.";
    std::string text;
    int length = 0;
    for (const char* chunk; (chunk = ZORSmtp::messageCallback(nullptr, &length, &state)) != nullptr;) {
        text.append(chunk, static_cast<size_t>(length));
    }
    EXPECT_EQ("Return-Path: <support@quorvane.example.com>\r\nSubject: Notification\r\nMIME-Version: 1.0\r\n"
              "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: 7bit\r\n\r\n"
              "Fan 2 stopped.\r\n",
              text);
    EXPECT_EQ(nullptr, ZORSmtp::messageCallback(nullptr, nullptr, &state)); // a rewind after the end
    EXPECT_EQ(nullptr, ZORSmtp::messageCallback(nullptr, &length, &state)) << "does not start over";
    msgState_t noBody;
    noBody.msgIndex = 9; // past the fixed lines, with no body
    EXPECT_STREQ("\r\n", ZORSmtp::messageCallback(nullptr, &length, &noBody));
}

TEST_F(ZorSmtpTest, AcceptedMessageArrivesAsSent)
{
    ZORSmtp smtp;
    smtp.addRecipient("  first@example.test\t");
    smtp.addRecipient(" \t\r\n");
    smtp.addRecipient("refused@example.test"); // refused by the server: the others still get the message
    smtp.addRecipient("\r\nsecond@example.test \n");
    smtp.sendEmail("Disk 3 failed", "Drive in slot 3 stopped answering.");
    EXPECT_EQ(Strings({"adding recipient: '' failed: no address left after removing blanks", ""}),
              Strings({smtp.getErrorMessage(0), smtp.getErrorMessage(1)}));
    EXPECT_EQ("Email SMTP status: 250, message: 2.0.0 accepted\n", _log.str());
    ASSERT_EQ(1u, mail().size());
    EXPECT_EQ("alerts@appliance.test", mail()[0]["mail_from"]);
    EXPECT_EQ(Strings({"first@example.test", "second@example.test"}), mail()[0]["rcpt_tos"].get<Strings>());
    const std::string content = "\r\n" + mail()[0]["content"].get<std::string>();
    for (const char* header : {"Subject: Disk 3 failed", "From: alerts@appliance.test", "To: first@example.test,",
                               "MIME-Version: 1.0", "Content-Type: text/plain; charset=iso-8859-1",
                               "Content-Transfer-Encoding: 7bit"}) {
        EXPECT_NE(std::string::npos, content.find("\r\n" + std::string(header) + "\r\n")) << header;
    }
    EXPECT_EQ(std::string::npos, content.find("Notification"));
    EXPECT_EQ("\r\n\r\nDrive in slot 3 stopped answering.\r\n", content.substr(content.find("\r\n\r\n")));

    writeConfig("'127.0.0.1'\n" + std::to_string(_port)); // no sender: "root@" and the host name, kept
    ZORSmtp unnamed;
    unnamed.addRecipient("admin@example.test");
    unnamed.sendEmail("Power supply", "PSU 1 lost input power.");
    char host[257] = {};
    EXPECT_TRUE(gethostname(host, 256) == 0 && unnamed.getFrom() == std::string("root@") + host) << unnamed.getFrom();
    EXPECT_EQ(unnamed.getFrom(), mail().at(1)["mail_from"]);
}

TEST_F(ZorSmtpTest, RefusalsAndLostConnections)
{
    std::string longLog; // long enough to be still writing when the server drops the connection
    while (longLog.size() < (16u << 20)) {
        longLog += std::string(70, 'x') + "\r\n";
    }
    _log.str("");
    const std::string dropped = "Sending email failed: 127.0.0.1:" + std::to_string(_port) + ": ";
    for (const auto& c : std::vector<std::tuple<const char*, std::string, std::string>>{
             {"refused1@example.test", "Enclosure at 62 C.", "Email SMTP status: 5"}, // nobody left
             {"kept@example.test", "REFUSE-THIS-MESSAGE", "Email SMTP status: 554, message: 5.6.0 message refused by policy"},
             {"hangup@example.test", "Enclosure at 63 C.", dropped + "SMTP server dropped connection"},
             {"stall@example.test", longLog, dropped}}) { // and SIGPIPE does not end the process
        ZORSmtp smtp;
        smtp.addRecipient(std::get<0>(c));
        smtp.sendEmail("Temperature", std::get<1>(c));
        ASSERT_EQ(1, smtp.getErrorCount()) << std::get<0>(c);
        EXPECT_EQ(0u, smtp.getErrorMessage(0).rfind(std::get<2>(c), 0)) << smtp.getErrorMessage(0);
        EXPECT_EQ(std::string::npos, smtp.getErrorMessage(0).find("status: 250"));
        smtp.sendEmail("Temperature", "Back to 40 C."); // the next send starts with an empty error list
        EXPECT_EQ(std::get<0>(c) == std::string("kept@example.test") ? 0 : 1, smtp.getErrorCount());
    }
    EXPECT_EQ("Email SMTP status: 250, message: 2.0.0 accepted\n", _log.str()) << "refusals are not logged";
    EXPECT_EQ(1u, mail().size());
}

TEST_F(ZorSmtpTest, NoServerListening)
{
    // Bound but not listening: connections are refused, and no other process can take the port.
    int port = 0;
    int s = zortest::loopbackSocket(SOCK_STREAM, &port);
    ASSERT_GE(s, 0);
    writeConfig("'127.0.0.1'\n" + std::to_string(port));
    ZORSmtp smtp;
    smtp.addRecipient("admin@example.test");
    smtp.sendEmail("Unreachable", "Nobody will read this.");
    close(s);
    ASSERT_EQ(1, smtp.getErrorCount());
    EXPECT_EQ("Sending email failed: 127.0.0.1:" + std::to_string(port) + ": Connection refused", smtp.getErrorMessage(0));
    EXPECT_EQ("", _log.str());
}

TEST_F(ZorSmtpTest, LineBreaksInHeadersAreRefusedAndASilentServerTimesOut)
{
    // A line break would let the text add headers or SMTP commands of its own.
    ZORSmtp smtp;
    smtp.addRecipient("admin@example.test");
    smtp.sendEmail("Alert\r\nBcc: everyone@example.test", "body");
    EXPECT_EQ(Strings({"subject refused: it holds a carriage return or line feed"}),
              Strings({smtp.getErrorMessage(0)}));
    ZORSmtp injected;
    injected.addRecipient("admin@example.test\r\nRCPT TO:<everyone@example.test>");
    injected.addRecipient("ok@example.test");
    injected.sendEmail("Alert", "body");
    ASSERT_EQ(1, injected.getErrorCount());
    EXPECT_EQ("adding recipient: 'admin@example.test...' refused: it holds a carriage return or line feed",
              injected.getErrorMessage(0));
    ASSERT_EQ(1u, mail().size());
    EXPECT_EQ(Strings({"ok@example.test"}), mail()[0]["rcpt_tos"].get<Strings>());

    // Listening, but never answering: the greeting wait ends at the timeout
    // set, not at the library's five minutes.
    int port = 0;
    int s = zortest::loopbackSocket(SOCK_STREAM, &port);
    ASSERT_TRUE(s >= 0 && listen(s, 4) == 0);
    writeConfig("'127.0.0.1'\n" + std::to_string(port));
    ZORSmtp silent;
    EXPECT_EQ(30, silent.getTimeout());
    silent.setTimeout(1);
    silent.addRecipient("admin@example.test");
    silent.sendEmail("Silent", "Nobody answers.");
    close(s);
    ASSERT_EQ(1, silent.getErrorCount());
    EXPECT_EQ("Sending email failed: no answer from 127.0.0.1:" + std::to_string(port) + " within 1 s",
              silent.getErrorMessage(0));
}

} // namespace
