// Files the benchmark works on: generated monitoring configurations of a
// given size and a large monitoring log, each under a root of its own that
// the module reaches through ZOR_ROOT.
#pragma once

#include <cstddef>
#include <string>

namespace zorbench {

/// Writes <root>/etc/configs/monitor/Monitor.cfg with `entries` entries of
/// three triggers each, plus a small preset catalogue, with the writer the
/// module itself uses. Kinds rotate so that every schedule kind, trigger kind
/// and value type occurs; every fourth entry is not logged and so holds only
/// instantaneous triggers. Returns the size of Monitor.cfg in bytes, 0 on
/// failure.
std::size_t writeConfiguration(const std::string& root, std::size_t entries, std::string* error);

/// Writes <root>/var/log/monitor/<name>.log of exactly `bytes` bytes of
/// log-like text lines. False on failure.
bool writeLogFile(const std::string& root, const std::string& name, std::size_t bytes, std::string* error);

/// Creates a folder and its parents; false when it cannot be made.
bool makeFolders(const std::string& path);

/// Removes a folder tree; best effort.
void removeTree(const std::string& path);

} // namespace zorbench
