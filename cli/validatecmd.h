// `zorhost validate` and the XML checks of --strict: the strict checker of
// the configuration documents, with the monitor thread's own variables, and
// without the module.
#pragma once

#include "strictcheck.h"

#include <ostream>
#include <string>

/// Checks a configuration file (Monitor.cfg, or the preset catalogue, told
/// apart by its root element or name) and prints each problem as
/// FILE:LINE:COLUMN: MESSAGE on out (json: one object per problem with
/// file, line, column and message). Returns 0 when clean, 1 with problems.
int validateConfigFile(const std::string& path, bool json, std::ostream& out);

/// The Monitor.cfg of the root in use (through the path resolver).
std::string defaultConfigFile();

/// The XML checks of --strict, one problem per line.
std::string strictXmlProblems(const std::string& xml, ValueDocument kind);
