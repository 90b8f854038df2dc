// A module that exists only to test zorhost. It registers a few overlapping
// key paths and echoes every request, and its value texts ask it to throw,
// return a given result, post, or raise notices, so routing, output and
// exit statuses are checked independently of the real module.
#include "monitoringexception.h"
#include "zorMonitorVariable.h"
#include "zor_error.h"
#include "zorglobals.h"
#include "zormodparam.h"
#include "zormodule.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace zorhosttest {
struct TestFailure {};
} // namespace zorhosttest

namespace {

struct Session {
    int opened;
};

std::string echo(const char* entry, ZorModParam* parms, int keyId, int type)
{
    const char* value = parms->getValue(0);
    return std::string(entry) + " id=" + std::to_string(keyId) + " type=" + std::to_string(type) +
           " key=" + parms->getKey(0) + " value=" + (*value != '\0' ? value : "(none)") +
           " parts=" + std::to_string(parms->getNumKeyParts());
}

int handle(const char* entry, ZorModParam* parms, int keyId, int type, void* session)
{
    zor_logstream << "testmodule::" << entry << ": " << parms->getKey(0) << std::endl;
    if (session == nullptr || static_cast<Session*>(session)->opened != 1) {
        parms->setMessage("wrong session record", -2);
        return -2;
    }
    std::string value = parms->getValue(0);
    std::string word = value.substr(0, value.find(' '));
    std::string rest = value.find(' ') == std::string::npos ? "" : value.substr(value.find(' ') + 1);

    if (value == "throw enomem") throw zor_enomem("out of test memory");
    if (value == "throw error-null") throw zor_error();
    if (value == "throw monitoring") throw MonitoringException(std::string("bad document"));
    if (value == "throw std") throw std::runtime_error("boom");
    if (value == "throw int") throw 7;
    if (value == "throw custom") throw zorhosttest::TestFailure();
    if (value == "bytes") {
        // Raw data as a log file reply carries it: no terminator, and bytes
        // that are not UTF-8 next to a valid two-byte character.
        static const char bytes[] = {'o', 'k', '\xff', '\xfe', '\xc3', '\xa9'};
        parms->appendData(bytes, sizeof bytes, 0);
    } else if (word == "big") {
        std::string filler(static_cast<size_t>(std::atoi(rest.c_str())), 'x');
        parms->appendData(filler.data(), static_cast<int>(filler.size()), 0);
    } else if (value == "interval") {
        parms->setMessage(std::to_string(ZORmonitorThread::getMonitorInterval()).c_str(), 0);
    } else if (value == "root") {
        const char* root = std::getenv("ZOR_ROOT");
        parms->setMessage(root != nullptr ? root : "(unset)", 0);
    } else {
        for (int i = word == "notice" ? std::atoi(rest.c_str()) : 0; i > 0; --i) {
            ZORmonitorThread::setConfigurationChanged();
        }
        if (word == "post") {
            ZORUDPThread::postMessage(rest.c_str());
        }
        int result = word == "result" ? std::atoi(rest.c_str()) : 0;
        parms->setMessage(echo(entry, parms, keyId, type).c_str(), result);
        return result;
    }
    return 0;
}

} // namespace

extern "C" int OpenSession(module_funcs* my_funcs, system_funcs* sys_funcs)
{
    Session* session = new Session{1};
    my_funcs->pModuleName = "zorhost test module";
    my_funcs->private_data = session;
    my_funcs->iPrivateDataSize = sizeof(Session);
    // Lets a test make the session fail after the record was handed over,
    // which is when the host must still call CloseSession.
    if (const char* forced = std::getenv("ZORHOST_TEST_OPEN_RESULT")) {
        return std::atoi(forced);
    }
    ZORListener* listener = sys_funcs->session;
    listener->registerKey("/t/", 1, nullptr, KEY_TYPE_GET, session);
    listener->registerKey("/t/a/", 2, nullptr, KEY_TYPE_GET, session);
    listener->registerKey("/t/a/b/", 3, nullptr, KEY_TYPE_GET, session);
    listener->registerKey("/t/a/", 4, nullptr, KEY_TYPE_SET, session);
    listener->registerKey("/t/", 5, nullptr, KEY_TYPE_ADD, session);
    listener->registerKey("/t/", 6, nullptr, KEY_TYPE_DEL, session);
    listener->registerKey("/zor/public/system/monitor/commit/", 7, nullptr, KEY_TYPE_COMMIT, session);
    return 0;
}

extern "C" int CloseSession(module_funcs* my_funcs)
{
    zor_logstream << "testmodule::CloseSession" << std::endl;
    delete static_cast<Session*>(my_funcs->private_data);
    return 0;
}

// The five request entry points, under the C++ names the host looks up.
#define TEST_ENTRY_POINT(name)                                                    \
    int name(ZorModParam* parms, int iKeyId, int iTypeFlags, void* pvSessionData) \
    {                                                                             \
        return handle(#name, parms, iKeyId, iTypeFlags, pvSessionData);           \
    }
TEST_ENTRY_POINT(OnGet)
TEST_ENTRY_POINT(OnSet)
TEST_ENTRY_POINT(OnAdd)
TEST_ENTRY_POINT(OnDel)
TEST_ENTRY_POINT(OnCommit)
