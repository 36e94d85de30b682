// Device-wide names shared by the engine process and the OEM UI process
// (target `device_constants`).
#pragma once

namespace device {
namespace fields {
// Member of a configuration entry that holds its JSON path.
extern const char* const path;
} // namespace fields

namespace channels {
// Channel on which the engine's log publications travel.
extern const char* const logs_channel;
} // namespace channels
} // namespace device
