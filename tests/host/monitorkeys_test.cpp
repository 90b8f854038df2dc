// The host-side table of key paths against the keys the real module
// registers: a path renamed on one side only would send every host's
// requests for it to no key.
#include "hostsession.h"
#include "modulelibrary.h"
#include "monitorkeys.h"
#include "zortest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

TEST(MonitorKeys, EveryHostSidePathIsOneTheModuleRegisters)
{
    zortest::TempRoot root;
    setenv("ZOR_ROOT", root.path().c_str(), 1);
    ModuleLibrary module;
    zor::Expected<void> loaded = module.load(ZOR_MONITOR_MODULE);
    ASSERT_TRUE(loaded) << loaded.error();
    HostSession session(module, 1024);
    zor::Expected<void> opened = session.start();
    ASSERT_TRUE(opened) << opened.error();
    const std::vector<KeyRow>& rows = session.listener().rows();
    auto registered = [&rows](const std::string& path) {
        return std::any_of(rows.begin(), rows.end(), [&path](const KeyRow& row) { return row.keyName == path; });
    };
    using namespace monitorkeys;
    for (const char* path : {kCommit, kEntryCount, kEntry, kTriggerCount, kTrigger, kPresetCount, kPreset, kVariable,
                             kVariableList, kLogList, kLog}) {
        EXPECT_TRUE(registered(path)) << path;
    }
    for (const char* prefix : {kRoot, kConfig}) {
        EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [prefix](const KeyRow& row) {
            return row.keyName.rfind(prefix, 0) == 0;
        })) << prefix;
    }
    session.close();
    unsetenv("ZOR_ROOT");
}
