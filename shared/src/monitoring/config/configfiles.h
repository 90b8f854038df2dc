// The configuration files on disk: reading one safely and replacing one
// atomically. Shared by the reader, the writer and the preset catalogue.
#pragma once

#include <functional>
#include <string>

/// The largest configuration or catalogue file that is read: a table of
/// 100,000 entries takes about 82 MB, and a file far beyond any real table
/// (a runaway writer, a sparse file) is refused by its size before anything
/// is allocated for it.
constexpr long long kMaxConfigurationFileSize = 256LL * 1024 * 1024;

/// Opens a regular file for reading and returns its descriptor, or -1 with
/// the reason in failure: the system's error text, "not a regular file", or
/// the size beyond kMaxConfigurationFileSize. Opened without blocking and
/// checked on the open descriptor: a FIFO put in place of a configuration
/// file must not hang the session that opens it, and what is checked is what
/// is read.
int openRegularFile(const std::string& filename, std::string& failure);

/// Reads a whole regular file (opened as openRegularFile opens it); false
/// with the reason in failure when it cannot be opened or read.
bool readRegularFile(const std::string& filename, std::string& content, std::string& failure);

/// Writes all of content to fd, going on after interruptions; false on an error.
bool writeAll(int fd, const std::string& content);

/// Replaces the file linkOrFile names with what write writes to the
/// descriptor it is given (true when it wrote all), so that a crash or a
/// failure at any point leaves either the old file or the new one, whole: the
/// content goes to a temporary file beside the target, is synced, and is
/// renamed over it. A symbolic link is followed to the file it names (an
/// administrator may keep the configuration elsewhere), so the link stays a
/// link; the new file keeps the old one's owner, group and mode. False on any
/// failure, the old file then untouched.
bool replaceFileAtomically(const std::string& linkOrFile, const std::function<bool(int fd)>& write);
