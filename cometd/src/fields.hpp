#pragma once
// Bayeux field names, kept in one place so every message uses the same spelling.
#include <string>

namespace cometd {
namespace fields {

extern const std::string channel;
extern const std::string id;
extern const std::string client_id;
extern const std::string minimum_version;
extern const std::string successful;
extern const std::string version;
extern const std::string supported_connection_types;
extern const std::string advice;
extern const std::string interval;
extern const std::string timeout;
extern const std::string reconnect;
extern const std::string connection_type;
extern const std::string error;
extern const std::string subscription;
extern const std::string data;

} // namespace fields
} // namespace cometd
