#pragma once
// The Bayeux client for the device's own channels: joins them on creation and
// after every renewed handshake, leaves them before disconnecting, and fetches
// the device's host configuration.
#include "velquin/src/client_base.hpp"

#include <json/value.h>

#include <string>

namespace velquin {

namespace channels {
extern const std::string settings;         // "/velquin/settings"
extern const std::string query;            // "/velquin/query"
extern const std::string commands;         // "/velquin/commands"
extern const std::string service_settings; // "/service/velquin/settings"
extern const std::string service_commands; // "/service/velquin/commands"
} // namespace channels

class client : public client_base {
public:
    client(const std::string& host, const std::string& port,
           boost::shared_ptr<httprtsp::request_handler_base> handler,
           boost::shared_ptr<boost::asio::io_service> io_service);
    client(const std::string& host, const std::string& port,
           boost::shared_ptr<httprtsp::request_handler_base> handler,
           boost::shared_ptr<boost::asio::io_service> io_service, settings limits);
    ~client() override;

    using client_base::disconnect;
    // Leaves the three channels, then sends the disconnect; true only when all four succeeded.
    bool disconnect() override;
    // On success also joins the three channels again; the answer ends up holding
    // the last subscription's answer.
    bool handshake(Json::Value& answer) override;

    // Publishes {"command": "update"} on the service commands channel.
    bool request_update(Json::Value& answer);
    // Leaves the device's configuration document in `configuration` when the
    // answer carries it, otherwise the whole answer (null when there was none).
    bool read_configuration();

    Json::Value configuration;

protected:
    client(const std::string& host, const std::string& port,
           boost::shared_ptr<httprtsp::request_handler_base> handler,
           boost::shared_ptr<boost::asio::io_service> io_service, exchange_hooks hooks,
           settings limits = settings());

private:
    void join_device_channels();
    void subscribe_device_channels(Json::Value& answer);
};

// The configuration document inside a device answer: the "data" "value" of the
// first element whose "data" "path" is the text "$" and whose value is an
// object holding "ios" and "sessions". Null when no element carries one. Only
// reads the answer; elements that are not objects are passed over.
const Json::Value* find_configuration(const Json::Value& answer);

} // namespace velquin
