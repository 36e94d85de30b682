#include "cometd/src/fields.hpp"

namespace cometd {
namespace fields {

const std::string channel = "channel";
const std::string id = "id";
const std::string client_id = "clientId";
const std::string minimum_version = "minimumVersion";
const std::string successful = "successful";
const std::string version = "version";
const std::string supported_connection_types = "supportedConnectionTypes";
const std::string advice = "advice";
const std::string interval = "interval";
const std::string timeout = "timeout";
const std::string reconnect = "reconnect";
const std::string connection_type = "connectionType";
const std::string error = "error";
const std::string subscription = "subscription";
const std::string data = "data";

} // namespace fields
} // namespace cometd
