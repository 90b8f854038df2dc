// --strict: what zorhost checks in a request before it sends it. The
// module reads indexes like strtol ("abc" is 0) and skips what it does not
// know in a document; these checks refuse such requests instead.
#pragma once

#include "request.h"

#include <functional>
#include <string>

/// Which document a value's XML text must be.
enum class ValueDocument { monitorEntry, actionTrigger };

/// Checks one XML text; returns the problems found, one per line, or an
/// empty text when it is sound.
using XmlChecker = std::function<std::string(const std::string& xml, ValueDocument kind)>;

/// Refusal of one request, or an empty text when it may be sent: every
/// index in the key and in the value's leading parts must be a plain
/// decimal number, the value's indexes must repeat the key's, and the XML
/// text of a set or add must pass xmlChecker.
std::string strictRefusal(const HostRequest& request, const XmlChecker& xmlChecker);
