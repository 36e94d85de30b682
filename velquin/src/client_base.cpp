#include "velquin/src/client_base.hpp"

#include "cometd/src/fields.hpp"

#include <boost/make_shared.hpp>
#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace velquin {

namespace fields = cometd::fields;

namespace {

const char* const bayeux_uri = "/cometd";
const char* const bayeux_protocol = "RTSP/1.1";
const char* const bayeux_method = "POST";
const char* const connection_type = "callback-polling";

// The element a member look-up may use, or null when it is not an object.
const Json::Value* object_at(const Json::Value& answer, Json::ArrayIndex index) {
    if (!answer.isArray() || index >= answer.size())
        return nullptr;
    const Json::Value& element = answer[index];
    return element.isObject() ? &element : nullptr;
}

const Json::Value* last_object(const Json::Value& answer) {
    if (!answer.isArray() || answer.empty())
        return nullptr;
    return object_at(answer, answer.size() - 1);
}

// The answer's members that the client reads must have their Bayeux types. jsoncpp's own
// conversions let numbers and booleans pass as texts (and booleans as numbers) in some
// versions and not in others, so the types are checked here, with jsoncpp's messages.
// A missing or null member gives the empty text or 0, as the conversions always did.
std::string text_member(const Json::Value& object, const std::string& name) {
    const Json::Value& value = object.get(name, Json::Value());
    if (value.isNull())
        return std::string();
    if (!value.isString())
        throw Json::LogicError("Type is not convertible to string");
    return value.asString();
}

int number_member(const Json::Value& object, const std::string& name) {
    const Json::Value& value = object.get(name, Json::Value());
    if (value.isNull())
        return 0;
    const Json::ValueType type = value.type();
    if (type != Json::intValue && type != Json::uintValue && type != Json::realValue)
        throw Json::LogicError("Type is not convertible to int");
    return value.asInt(); // throws for a number out of int's range
}

} // namespace

bool json_truth(const Json::Value& value) {
    switch (value.type()) {
    case Json::nullValue:
        return false;
    case Json::booleanValue:
        return value.asBool();
    case Json::intValue:
        return value.asLargestInt() != 0;
    case Json::uintValue:
        return value.asLargestUInt() != 0;
    case Json::realValue:
        return value.asDouble() != 0.0;
    case Json::stringValue:
        return !value.asString().empty();
    case Json::arrayValue:
    case Json::objectValue:
        return value.size() != 0;
    }
    return false;
}

bool answer_successful(const Json::Value& answer) {
    const Json::Value* last = last_object(answer);
    if (!last)
        return false;
    const Json::Value* successful = last->find(
        fields::successful.data(), fields::successful.data() + fields::successful.size());
    return successful && json_truth(*successful);
}

client_base::client_base(const std::string& device_host, const std::string& device_port,
                         boost::shared_ptr<httprtsp::request_handler_base> request_handler,
                         boost::shared_ptr<boost::asio::io_service> service)
    : client_base(device_host, device_port, std::move(request_handler), std::move(service),
                  exchange_hooks()) {}

client_base::client_base(const std::string& device_host, const std::string& device_port,
                         boost::shared_ptr<httprtsp::request_handler_base> request_handler,
                         boost::shared_ptr<boost::asio::io_service> service, settings chosen)
    : client_base(device_host, device_port, std::move(request_handler), std::move(service),
                  exchange_hooks(), std::move(chosen)) {}

client_base::client_base(const std::string& device_host, const std::string& device_port,
                         boost::shared_ptr<httprtsp::request_handler_base> request_handler,
                         boost::shared_ptr<boost::asio::io_service> service,
                         exchange_hooks exchange, settings chosen)
    : httprtsp::client(device_host, device_port, request_handler, service),
      hooks(std::move(exchange)), limits(std::move(chosen)) {
    set_connect_timeout(limits.connect_timeout);
    try {
        // Our own handshake: a derived class is not built yet and renews nothing here.
        Json::Value answer;
        client_base::handshake(answer);
        first_handshake_replied = last_answered;
    } catch (...) {
        construction_failed();
        throw;
    }
}

void client_base::construction_failed() const {
    if (limits.on_construction_failure)
        limits.on_construction_failure();
}

client_base::~client_base() = default;

boost::shared_ptr<httprtsp::reply>
client_base::exchange(const boost::shared_ptr<httprtsp::request>& request) {
    if (hooks.exchange)
        return hooks.exchange(request);
    return issue_request(request, limits.reply_timeout);
}

void client_base::pause(int milliseconds) {
    if (hooks.pause) {
        hooks.pause(milliseconds);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool client_base::send_message(const std::string& method, const Json::Value& message,
                               Json::Value& answer) {
    const auto request = boost::make_shared<httprtsp::request>(method, bayeux_uri, bayeux_protocol);
    request->add_header(httprtsp::header_names::content_type, "application/json;charset=UTF8");
    request->add_header("Access-Control-Allow-Origin", "*");
    request->add_header(httprtsp::header_names::connection, httprtsp::header_names::keep_alive);
    Json::Value carrier(Json::arrayValue);
    carrier.append(message);
    Json::FastWriter writer;
    request->set_body(writer.write(carrier));

    last_answered = false;
    const boost::shared_ptr<httprtsp::reply> reply = exchange(request);
    last_answered = static_cast<bool>(reply);
    answer = Json::Value();
    if (!reply || !reply->body())
        return false;
    const std::vector<char>& bytes = *reply->body();
    const char* begin = bytes.empty() ? "" : bytes.data();
    try {
        Json::Reader reader;
        if (!reader.parse(begin, begin + bytes.size(), answer, true))
            return false;
    } catch (const std::exception&) {
        // The reader throws on nesting too deep for it: a body it cannot parse.
        return false;
    }
    return answer_successful(answer);
}

bool client_base::handshake(Json::Value& answer) {
    Json::Value message(Json::objectValue);
    message[fields::channel] = "/meta/handshake";
    message[fields::version] = "1.0";
    message[fields::minimum_version] = "0.9";
    Json::Value types(Json::arrayValue);
    types.append("long-polling");
    types.append("callback-polling");
    message[fields::supported_connection_types] = types;
    message[fields::id] = next_message_id();
    if (!send_message(bayeux_method, message, answer))
        return false;
    // The id is granted in the first element; it must be an object to hold one.
    const Json::Value* first = object_at(answer, 0);
    if (!first)
        return false;
    client_id = text_member(*first, fields::client_id);
    return true;
}

bool client_base::connect(Json::Value& answer) {
    Json::Value message(Json::objectValue);
    message[fields::channel] = "/meta/connect";
    message[fields::connection_type] = connection_type;
    message[fields::id] = next_message_id();
    message[fields::client_id] = client_id;
    return send_message(bayeux_method, message, answer);
}

bool client_base::disconnect() {
    Json::Value answer;
    return client_base::disconnect(answer);
}

bool client_base::disconnect(Json::Value& answer) {
    Json::Value message(Json::objectValue);
    message[fields::channel] = "/meta/disconnect";
    message[fields::connection_type] = connection_type;
    message[fields::id] = next_message_id();
    message[fields::client_id] = client_id;
    return send_message(bayeux_method, message, answer);
}

bool client_base::subscribe(const std::string& channel, Json::Value& answer) {
    Json::Value message(Json::objectValue);
    message[fields::channel] = "/meta/subscribe";
    message[fields::id] = next_message_id();
    message[fields::client_id] = client_id;
    message[fields::subscription] = channel;
    return send_message(bayeux_method, message, answer);
}

bool client_base::unsubscribe(const std::string& channel, Json::Value& answer) {
    Json::Value message(Json::objectValue);
    message[fields::channel] = "/meta/unsubscribe";
    message[fields::id] = next_message_id();
    message[fields::client_id] = client_id;
    message[fields::subscription] = channel;
    return send_message(bayeux_method, message, answer);
}

bool client_base::publish(const std::string& channel, const Json::Value& data,
                          Json::Value& answer) {
    // The caller may hand the same value as data and answer; keep what was asked.
    const Json::Value published = data;
    // Advice is followed for as long as the server gives it, in a loop so that a
    // long run of advice cannot grow the stack.
    for (;;) {
        Json::Value message(Json::objectValue);
        message[fields::channel] = channel;
        message[fields::id] = next_message_id();
        message[fields::client_id] = client_id;
        message[fields::data] = published;
        if (send_message(bayeux_method, message, answer) || answer.isNull())
            return true;
        const Json::Value* last = last_object(answer);
        if (!last)
            return true;
        const Json::Value* advice =
            last->find(fields::advice.data(), fields::advice.data() + fields::advice.size());
        if (!advice || !advice->isObject())
            return true;
        // Values of the wrong type throw; that is left to the caller.
        const int interval = number_member(*advice, fields::interval);
        const std::string reconnect = text_member(*advice, fields::reconnect);
        if (reconnect == "handshake") {
            pause(std::max(0, interval));
            handshake(answer); // through the virtual slot: a device client also resubscribes
        } else if (reconnect == "retry") {
            pause(std::max(0, interval));
            connect(answer);
        } else {
            return true;
        }
    }
}

bool client_base::publish_setting(const std::string& channel, const std::string& path,
                                  const Json::Value& value, Json::Value& answer) {
    Json::Value data(Json::objectValue);
    data["path"] = path;
    data["value"] = value;
    return publish(channel, data, answer);
}

} // namespace velquin

#pragma GCC diagnostic pop
