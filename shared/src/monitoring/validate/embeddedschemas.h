// The schema texts built into the library (see embed.cmake).
#pragma once

#include <cstddef>

namespace monvalidate {
namespace schemas {
extern const char monitor_config_xsd[];
extern const std::size_t monitor_config_xsdSize;
extern const char preset_triggers_xsd[];
extern const std::size_t preset_triggers_xsdSize;
} // namespace schemas
} // namespace monvalidate
