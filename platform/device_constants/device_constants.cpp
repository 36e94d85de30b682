#include "platform/device_constants/device_constants.h"

namespace device {
namespace fields {
const char* const path = "path";
}
namespace channels {
const char* const logs_channel = "/vorn/logs";
}
} // namespace device
