// Every fixed absolute path of the system passes through here, so that a
// whole installation can be moved under another root (ZOR_ROOT) for tests,
// demos and diagnosis. With ZOR_ROOT unset or empty, paths stay as given.
#pragma once

#include <string>

/// The path as it is really used: ZOR_ROOT followed by path when ZOR_ROOT is
/// set, path itself otherwise. ZOR_ROOT is read at every call.
std::string zorResolvePath(const std::string& path);
