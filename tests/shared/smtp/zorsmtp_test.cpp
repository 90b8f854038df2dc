// ZORSmtp against the real aiosmtpd server (smtp_sink.py) on 127.0.0.1.
#include "zorglobals.h"
#include "zorsmtp.h"
#include "zortest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Strings = std::vector<std::string>;

namespace {

const char* const confPath = "configs/etc/quorvane/smtp.conf";

// The aiosmtpd sink in a child process. Its standard input is a pipe from
// here, so it also ends when this process dies without cleaning up.
class SmtpSink {
public:
    explicit SmtpSink(const std::string& outdir) : _outdir(outdir)
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        if ((_pid = fork()) == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            execl("/usr/bin/python3", "python3", ZOR_SMTP_SINK, outdir.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        _stdin = in[1];
        // The first line is the port; bounded generously for a slow machine.
        std::string line;
        pollfd p{out[0], POLLIN, 0};
        char buf[64];
        ssize_t n = 0;
        while (line.find('\n') == std::string::npos && poll(&p, 1, 120000) > 0 &&
               (n = read(out[0], buf, sizeof buf)) > 0) {
            line.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        if (line.find('\n') != std::string::npos) _port = std::stoi(line);
    }
    ~SmtpSink()
    {
        close(_stdin);
        if (_pid <= 0) return;
        kill(_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 600 && waitpid(_pid, &status, WNOHANG) == 0; ++i) usleep(100000);
        if (kill(_pid, SIGKILL) == 0) waitpid(_pid, &status, 0);
    }
    int port() const { return _port; }
    /// Accepted messages, oldest first ("<n>.json" numbered from 1).
    std::vector<nlohmann::json> messages() const
    {
        std::vector<nlohmann::json> result;
        for (int n = 1; std::filesystem::exists(path(n)); ++n) {
            result.push_back(nlohmann::json::parse(zortest::readFile(path(n))));
        }
        return result;
    }

private:
    std::string path(int n) const { return _outdir + "/" + std::to_string(n) + ".json"; }
    std::string _outdir;
    pid_t _pid = -1;
    int _stdin = -1;
    int _port = 0;
};

class ZorSmtpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        _root.mkdir("configs/etc/quorvane");
        _root.mkdir("mail");
        ASSERT_EQ(0, chdir(_root.path().c_str()));
        _savedLog = zor_logstream.rdbuf(_log.rdbuf());
        zorGlobalUseSyslog = 0;
    }
    void TearDown() override
    {
        _sink.reset();
        zor_logstream.rdbuf(_savedLog);
        ASSERT_EQ(0, chdir(_cwd.c_str()));
    }
    void startSink(const std::string& sender)
    {
        _sink = std::make_unique<SmtpSink>(_root.at("mail"));
        ASSERT_GT(_sink->port(), 0) << "the aiosmtpd sink did not start";
        writeConfig("'127.0.0.1'\n" + std::to_string(_sink->port()) + sender);
    }
    void writeConfig(const std::string& text) { _root.write(confPath, text); }

    std::string _cwd = std::filesystem::current_path().string();
    zortest::TempRoot _root;
    std::ostringstream _log;
    std::streambuf* _savedLog = nullptr;
    std::unique_ptr<SmtpSink> _sink;
};

TEST_F(ZorSmtpTest, ConfigurationFileRoundTrip)
{
    writeConfig("'mail.example.net'\n2525\n'alerts@example.net'");
    ZORSmtp smtp;
    EXPECT_EQ(Strings({"mail.example.net", "2525", "alerts@example.net"}),
              Strings({smtp.getServer(), std::to_string(smtp.getPort()), smtp.getFrom()}));

    // An empty sender is left out, and no line end follows the port.
    smtp.setServer("relay");
    smtp.setPort(587);
    smtp.setFrom("");
    smtp.saveConfigFile();
    EXPECT_EQ("'relay'\n587", zortest::readFile(confPath));
    ZORSmtp noSender;
    EXPECT_EQ(Strings({"relay", "587", ""}),
              Strings({noSender.getServer(), std::to_string(noSender.getPort()), noSender.getFrom()}));

    smtp.setFrom("ops@example.net");
    smtp.saveConfigFile();
    EXPECT_EQ("'relay'\n587\n'ops@example.net'", zortest::readFile(confPath));
    EXPECT_EQ("ops@example.net", ZORSmtp().getFrom());

    testing::internal::CaptureStdout();
    noSender.setServer("mail");
    noSender.setPort(25);
    noSender.print();
    EXPECT_EQ("Server: 'mail', Port: 25, from: ''\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", noSender.getErrorMessage(static_cast<unsigned>(noSender.getErrorCount())));
}

TEST_F(ZorSmtpTest, ConfigurationProblemsAreReportedAndKeepDefaults)
{
    CaptureStderr();
    ZORSmtp unconfigured;
    unconfigured.setServer("copied");
    ZORSmtp copy(unconfigured); // copies; does not read the file again
    EXPECT_EQ("File read open error (configs/etc/quorvane/smtp.conf). Email is not configured\n",
              GetCapturedStderr());
    EXPECT_EQ(Strings({"copied", "25", ""}),
              Strings({copy.getServer(), std::to_string(copy.getPort()), copy.getFrom()}));

    zorGlobalUseSyslog = 1;
    CaptureStderr();
    ZORSmtp viaSyslog;
    EXPECT_EQ("", GetCapturedStderr());
    zorGlobalUseSyslog = 0;

    // A folder in the file's place cannot be written even by the superuser.
    _root.mkdir(confPath);
    CaptureStderr();
    ZORSmtp folder;
    folder.saveConfigFile();
    EXPECT_EQ("Could not open configs/etc/quorvane/smtp.conf for saving\n", GetCapturedStderr());
    EXPECT_EQ("", folder.getServer());
    std::filesystem::remove(confPath);

    // Items that do not match leave their fields alone; an overlong value
    // is cut at 1023 characters.
    writeConfig("'srv'\nnot-a-port\n'x@example.net'");
    EXPECT_EQ(25, ZORSmtp().getPort());
    writeConfig("no quotes\n99");
    EXPECT_EQ("", ZORSmtp().getServer());
    writeConfig("'" + std::string(3000, 'x') + "'\n25\n'" + std::string(3000, 'y') + "'");
    ZORSmtp overlong;
    EXPECT_EQ(std::string(1023, 'x'), overlong.getServer());
    EXPECT_EQ("", overlong.getFrom());
}

TEST_F(ZorSmtpTest, MessageCallbackStates)
{
    msgState_t state;
    state.msgBody = "Fan 2 stopped.";
    void* context = nullptr;
    int length = -1;
    EXPECT_EQ(nullptr, ZORSmtp::messageCallback(&context, nullptr, &state)); // rewind
    EXPECT_EQ(0, state.msgIndex);

    std::string text;
    for (const char* chunk; (chunk = ZORSmtp::messageCallback(&context, &length, &state));) {
        text.append(chunk, static_cast<size_t>(length));
    }
    EXPECT_EQ(0, length);
    EXPECT_EQ(-1, state.msgIndex);
    EXPECT_EQ(nullptr, context); // the library free()s its context; our buffer stays ours
    const std::string rest = "\r\nSubject: Notification\r\nMIME-Version: 1.0\r\n"
                             "Content-Type: text/plain; charset=iso-8859-1\r\n"
                             "Content-Transfer-Encoding: 7bit\r\n\r\nFan 2 stopped.\r\n";
    EXPECT_EQ("Return-Path: <support@quorvane.example.com>" + rest, text);

    EXPECT_EQ(nullptr, ZORSmtp::messageCallback(&context, nullptr, &state));
    EXPECT_EQ(-1, state.msgIndex); // a rewind after the end does not start over

    msgState_t noBody;
    noBody.msgBody = nullptr;
    noBody.msgIndex = 9;
    const char* empty = ZORSmtp::messageCallback(&context, &length, &noBody);
    EXPECT_EQ("\r\n", std::string(empty, static_cast<size_t>(length)));
}

TEST_F(ZorSmtpTest, AcceptedMessageArrivesAsSent)
{
    startSink("\n'alerts@appliance.test'");
    ZORSmtp smtp;
    smtp.addRecipient("  first@example.test\t");
    smtp.addRecipient(" \t\r\n");
    smtp.addRecipient("\r\nsecond@example.test \n");
    smtp.sendEmail("Disk 3 failed", "Drive in slot 3 stopped answering.");

    ASSERT_EQ(1, smtp.getErrorCount());
    EXPECT_EQ("adding recipient: '' failed: no address left after removing blanks", smtp.getErrorMessage(0));
    EXPECT_EQ("Email SMTP status: 250, message: 2.0.0 accepted\n", _log.str());

    auto mail = _sink->messages();
    ASSERT_EQ(1u, mail.size());
    EXPECT_EQ("alerts@appliance.test", mail[0]["mail_from"]);
    EXPECT_EQ(Strings({"first@example.test", "second@example.test"}), mail[0]["rcpt_tos"].get<Strings>());
    const std::string content = "\r\n" + mail[0]["content"].get<std::string>();
    for (const char* header :
         {"Subject: Disk 3 failed", "From: alerts@appliance.test", "To: first@example.test,",
          "MIME-Version: 1.0", "Content-Type: text/plain; charset=iso-8859-1",
          "Content-Transfer-Encoding: 7bit"}) {
        EXPECT_NE(std::string::npos, content.find("\r\n" + std::string(header) + "\r\n")) << header;
    }
    EXPECT_EQ(std::string::npos, content.find("Notification"));
    const std::string body = "\r\n\r\nDrive in slot 3 stopped answering.\r\n";
    EXPECT_EQ(body, content.substr(content.find("\r\n\r\n")));

    // Without a configured sender, "root@" and the host name are used and kept.
    writeConfig("'127.0.0.1'\n" + std::to_string(_sink->port()));
    ZORSmtp unnamed;
    unnamed.addRecipient("admin@example.test");
    unnamed.sendEmail("Power supply", "PSU 1 lost input power.");
    char host[257] = {0};
    gethostname(host, 256);
    EXPECT_EQ(0, unnamed.getErrorCount()) << unnamed.getErrorMessage(0);
    EXPECT_EQ(std::string("root@") + host, unnamed.getFrom());
    mail = _sink->messages();
    ASSERT_EQ(2u, mail.size());
    EXPECT_EQ(unnamed.getFrom(), mail[1]["mail_from"]);
}

TEST_F(ZorSmtpTest, RefusalsByTheServer)
{
    startSink("\n'alerts@appliance.test'");
    // One refused recipient does not stop the message for the others.
    ZORSmtp partly;
    partly.addRecipient("refused@example.test");
    partly.addRecipient("kept@example.test");
    partly.sendEmail("Temperature", "Enclosure at 61 C.");
    EXPECT_EQ(0, partly.getErrorCount()) << partly.getErrorMessage(0);
    ASSERT_EQ(1u, _sink->messages().size());
    EXPECT_EQ(Strings({"kept@example.test"}), _sink->messages()[0]["rcpt_tos"].get<Strings>());

    // With every recipient refused the final answer is not 250.
    ZORSmtp nobody;
    nobody.addRecipient("refused1@example.test");
    nobody.sendEmail("Temperature", "Enclosure at 62 C.");
    ASSERT_EQ(1, nobody.getErrorCount());
    EXPECT_EQ(0u, nobody.getErrorMessage(0).rfind("Email SMTP status: 5", 0)) << nobody.getErrorMessage(0);

    // Refused at the end of the data: recorded, not logged.
    _log.str("");
    ZORSmtp refused;
    refused.addRecipient("kept@example.test");
    refused.sendEmail("Temperature", "REFUSE-THIS-MESSAGE");
    ASSERT_EQ(1, refused.getErrorCount());
    EXPECT_EQ("Email SMTP status: 554, message: 5.6.0 message refused by policy", refused.getErrorMessage(0));
    EXPECT_EQ("", _log.str());
    EXPECT_EQ(1u, _sink->messages().size());

    // A connection dropped by the server: reported, and SIGPIPE from writing
    // the rest of a long message does not end the process.
    ZORSmtp dropped;
    dropped.addRecipient("hangup@example.test");
    dropped.sendEmail("Temperature", "Enclosure at 63 C.");
    ASSERT_EQ(1, dropped.getErrorCount());
    EXPECT_EQ("Email SMTP status: 0, message: None", dropped.getErrorMessage(0));
    ZORSmtp stalled;
    stalled.addRecipient("stall@example.test");
    std::string longLog;
    while (longLog.size() < (16u << 20)) longLog += std::string(70, 'x') + "\r\n";
    stalled.sendEmail("Log excerpt", longLog);
    ASSERT_EQ(1, stalled.getErrorCount());
    EXPECT_EQ(std::string::npos, stalled.getErrorMessage(0).find("status: 250"));

    // The next send starts with an empty error list.
    refused.sendEmail("Temperature", "Back to 40 C.");
    EXPECT_EQ(0, refused.getErrorCount()) << refused.getErrorMessage(0);
    EXPECT_EQ(2u, _sink->messages().size());
}

TEST_F(ZorSmtpTest, NoServerListening)
{
    // Bound but not listening: connections are refused and, while the socket
    // lives, no other process can take the port.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len));
    writeConfig("'127.0.0.1'\n" + std::to_string(ntohs(addr.sin_port)));
    ZORSmtp smtp;
    smtp.addRecipient("admin@example.test");
    smtp.sendEmail("Unreachable", "Nobody will read this.");
    close(s);
    ASSERT_EQ(1, smtp.getErrorCount());
    EXPECT_EQ("Sending email failed: Connection refused", smtp.getErrorMessage(0));
    EXPECT_EQ("", _log.str());
}

} // namespace
