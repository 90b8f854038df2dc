// The host's session listener and its routing of requests to key rows.
#pragma once

#include "zormodule.h"

#include <string>
#include <vector>

/// One registration as the module gave it.
struct KeyRow {
    std::string keyName;
    int keyId;
    CBFunc cback;
    int type;
    void* instance;
};

/// Keeps every row a module registers and finds the row that serves a
/// request, the way the appliance's host does.
class HostListener : public ZORListener {
public:
    /// Stores one row; a row without a key path cannot be matched and is refused.
    int registerKey(const char* keyName, int keyId, CBFunc cback, int type, void* instance) override;

    /// The row of access type `type` whose key path is the longest prefix of
    /// `key`; null when no row of that type matches. Between rows of equal
    /// length the one registered first wins.
    const KeyRow* route(int type, const std::string& key) const;

    const std::vector<KeyRow>& rows() const { return _rows; }
    /// Forgets every row, for a new session of the same module.
    void clear() { _rows.clear(); }

private:
    std::vector<KeyRow> _rows;
};
