#include "velquin/src/client.hpp"

#include <utility>

namespace velquin {

namespace channels {
const std::string settings = "/velquin/settings";
const std::string query = "/velquin/query";
const std::string commands = "/velquin/commands";
const std::string service_settings = "/service/velquin/settings";
const std::string service_commands = "/service/velquin/commands";
} // namespace channels

namespace {

const Json::Value* member(const Json::Value& object, const char* name) {
    if (!object.isObject())
        return nullptr;
    return object.find(name, name + std::char_traits<char>::length(name));
}

} // namespace

const Json::Value* find_configuration(const Json::Value& answer) {
    if (!answer.isArray())
        return nullptr;
    static const Json::Value root_path("$");
    for (const Json::Value& element : answer) {
        const Json::Value* data = member(element, "data");
        if (!data)
            continue;
        const Json::Value* path = member(*data, "path");
        if (!path || *path != root_path)
            continue;
        const Json::Value* value = member(*data, "value");
        if (value && value->isObject() && value->isMember("ios") && value->isMember("sessions"))
            return value;
    }
    return nullptr;
}

client::client(const std::string& device_host, const std::string& device_port,
               boost::shared_ptr<httprtsp::request_handler_base> request_handler,
               boost::shared_ptr<boost::asio::io_service> service)
    : client_base(device_host, device_port, std::move(request_handler), std::move(service)) {
    join_device_channels();
}

client::client(const std::string& device_host, const std::string& device_port,
               boost::shared_ptr<httprtsp::request_handler_base> request_handler,
               boost::shared_ptr<boost::asio::io_service> service, settings chosen)
    : client_base(device_host, device_port, std::move(request_handler), std::move(service),
                  std::move(chosen)) {
    join_device_channels();
}

client::client(const std::string& device_host, const std::string& device_port,
               boost::shared_ptr<httprtsp::request_handler_base> request_handler,
               boost::shared_ptr<boost::asio::io_service> service, exchange_hooks exchange,
               settings chosen)
    : client_base(device_host, device_port, std::move(request_handler), std::move(service),
                  std::move(exchange), std::move(chosen)) {
    join_device_channels();
}

void client::join_device_channels() {
    try {
        Json::Value answer;
        subscribe_device_channels(answer);
    } catch (...) {
        construction_failed();
        throw;
    }
}

client::~client() = default;

void client::subscribe_device_channels(Json::Value& answer) {
    // Failures are not reported: the run goes on without the channels.
    subscribe(channels::settings, answer);
    subscribe(channels::query, answer);
    subscribe(channels::commands, answer);
}

bool client::handshake(Json::Value& answer) {
    if (!client_base::handshake(answer))
        return false;
    subscribe_device_channels(answer);
    return true;
}

bool client::disconnect() {
    // Every exchange is made even after a failure.
    Json::Value answer;
    bool all = unsubscribe(channels::settings, answer);
    all = unsubscribe(channels::query, answer) && all;
    all = unsubscribe(channels::commands, answer) && all;
    Json::Value disconnect_answer;
    all = client_base::disconnect(disconnect_answer) && all;
    return all;
}

bool client::request_update(Json::Value& answer) {
    Json::Value data(Json::objectValue);
    data["command"] = "update";
    return publish(channels::service_commands, data, answer);
}

bool client::read_configuration() {
    const bool result = request_update(configuration);
    if (const Json::Value* document = find_configuration(configuration)) {
        Json::Value picked = *document; // copied out before the answer it lives in is replaced
        configuration.swap(picked);
    }
    return result;
}

} // namespace velquin
