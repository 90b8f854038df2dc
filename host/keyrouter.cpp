#include "keyrouter.h"

int HostListener::registerKey(const char* keyName, int keyId, CBFunc cback, int type, void* instance)
{
    if (keyName == nullptr) {
        return -1;
    }
    _rows.push_back(KeyRow{keyName, keyId, cback, type, instance});
    return 0;
}

const KeyRow* HostListener::route(int type, const std::string& key) const
{
    const KeyRow* best = nullptr;
    for (const KeyRow& row : _rows) {
        if (row.type != type || row.keyName.size() > key.size()) {
            continue;
        }
        if (key.compare(0, row.keyName.size(), row.keyName) != 0) {
            continue;
        }
        if (best == nullptr || row.keyName.size() > best->keyName.size()) {
            best = &row;
        }
    }
    return best;
}
