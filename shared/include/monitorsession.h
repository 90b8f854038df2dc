// What a host may know of the monitor module's sessions: the per-session
// record, which the host holds between OpenSession and CloseSession
// (module_funcs::private_data, of iPrivateDataSize bytes), and the key ids
// its requests are routed with. zorhost and zorhostd tell from sessionDirty
// whether a session still holds edits that no commit saved, and from the key
// id which requests made them.
#pragma once

#include <cstdint>

/// Per-session record: allocated by OpenSession, handed to the host with
/// every registered key, passed back with every request, freed by CloseSession.
struct moduleData {
    uint32_t Index;        ///< entry index the last entry or trigger request addressed
    uint32_t triggerIndex; ///< zeroed at session start; kept for the record layout
    bool sessionDirty;     ///< the session changed the store since its last commit
    uint32_t configCount;  ///< entry count the last entry-count request reported
    uint32_t actionCount;  ///< trigger count the last trigger-count request reported
    char monitorData[1024]; ///< scratch text in which replies are formatted
};

/// Key ids of the module's registrations; a request carries the id of its row.
enum ZorMonitorKeys {
    ZOR_MON_LOG_LIST_KEY = 0,
    ZOR_MON_LOG_KEY = 1,
    ZOR_MON_LOG_GRAPH_KEY = 2,
    ZOR_MON_VARIABLE_LIST_KEY = 3,
    ZOR_MON_VARIABLE_KEY = 4,
    ZOR_MON_INTERVAL_KEY = 5,
    ZOR_MON_COUNT_KEY = 6,
    ZOR_MON_ENTRY_KEY = 7,
    ZOR_MON_TRIGGER_COUNT_KEY = 8,
    ZOR_MON_ACTION_TRIGGER_KEY = 9,
    ZOR_MON_VARIABLE_COUNT_KEY = 10,
    ZOR_MON_VARIABLE_CONFIG_KEY = 11,
    ZOR_MON_VARIABLE_SUPPORTED_KEY = 12,
    ZOR_MON_PRESET_TRIGGER_COUNT_KEY = 13,
    ZOR_MON_PRESET_TRIGGER_KEY = 14,
    ZOR_MON_GLOBAL_DEBUG_LEVEL_KEY = 15,
    ZOR_MON_MSG_POST_KEY = 16,
    ZOR_MON_COMMIT_KEY = 17,
    ZOR_MON_MAX_NUM_KEYS = 18,
};
