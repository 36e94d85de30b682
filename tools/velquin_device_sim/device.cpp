#include "tools/velquin_device_sim/device.hpp"

#include "tools/velquin_device_sim/json_path.hpp"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>
#include <stdexcept>

namespace velquin_sim {

namespace channels {
const char* const handshake = "/meta/handshake";
const char* const connect = "/meta/connect";
const char* const disconnect = "/meta/disconnect";
const char* const subscribe = "/meta/subscribe";
const char* const unsubscribe = "/meta/unsubscribe";
const char* const settings = "/velquin/settings";
const char* const commands = "/velquin/commands";
const char* const service_settings = "/service/velquin/settings";
const char* const service_commands = "/service/velquin/commands";
} // namespace channels

const char* const unknown_client_error = "402::unknown client";

namespace {

const std::string meta_prefix = "/meta/";

bool is_text(const Json::Value& message, const char* name) {
    const Json::Value* field = message.find(name, name + std::char_traits<char>::length(name));
    return field != nullptr && field->isString();
}

std::string text_of(const Json::Value& message, const char* name) {
    return is_text(message, name) ? message[name].asString() : std::string();
}

// The fields every reply repeats from its request.
Json::Value reply_to(const Json::Value& message) {
    Json::Value reply(Json::objectValue);
    if (is_text(message, "channel"))
        reply["channel"] = message["channel"];
    if (message.isMember("id"))
        reply["id"] = message["id"];
    return reply;
}

Json::Value refused(Json::Value reply, const std::string& error) {
    reply["successful"] = false;
    reply["error"] = error;
    return reply;
}

Json::Value lone_error(const std::string& error) {
    Json::Value out(Json::arrayValue);
    out.append(refused(Json::Value(Json::objectValue), error));
    return out;
}

} // namespace

Json::Value parse_json(const std::string& text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    // The reader throws on nesting beyond its stack limit instead of failing.
    bool ok = false;
    try {
        ok = reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    } catch (const std::exception& e) {
        errors = e.what();
    }
    if (!ok)
        throw std::runtime_error(errors.empty() ? "not JSON" : errors);
    return value;
}

std::string compact(const Json::Value& value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::FastWriter writer;
    return writer.write(value);
#pragma GCC diagnostic pop
}

device::device(Json::Value configuration)
    : configuration_(std::move(configuration)), random_(std::random_device{}()) {}

Json::Value device::configuration() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return configuration_;
}

void device::fail_next_publishes(unsigned count, const Json::Value& advice) {
    std::lock_guard<std::mutex> hold(mutex_);
    failing_publishes_ = count;
    failure_advice_ = advice;
}

void device::set_trace(std::function<void(const std::string&)> trace) {
    std::lock_guard<std::mutex> hold(mutex_);
    trace_ = std::move(trace);
}

std::size_t device::client_count() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return clients_.size();
}

answer device::handle_body(const std::string& body) {
    answer out;
    Json::Value messages;
    try {
        messages = parse_json(body);
    } catch (const std::exception& e) {
        out.status = 400;
        out.body = compact(lone_error(std::string("400::body is not JSON: ") + e.what()));
        return out;
    }
    if (!messages.isArray()) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (trace_)
                trace_(compact(messages));
        }
        out.status = 400;
        out.body = compact(lone_error("400::body is not a JSON array of messages"));
        return out;
    }
    out.body = compact(handle_messages(messages));
    return out;
}

Json::Value device::handle_messages(const Json::Value& messages) {
    std::lock_guard<std::mutex> hold(mutex_);
    Json::Value replies(Json::arrayValue);
    Json::Value deliveries(Json::arrayValue);
    for (const Json::Value& message : messages) {
        if (trace_)
            trace_(compact(message));
        replies.append(handle_one(message, deliveries));
    }
    // Messages the device broadcasts in reaction follow the replies, the way the
    // device answers a configuration request: acknowledgement first, data after it.
    for (const Json::Value& delivery : deliveries)
        replies.append(delivery);
    return replies;
}

void device::set_fixed_client_id(const std::string& id) {
    std::lock_guard<std::mutex> hold(mutex_);
    fixed_client_id_ = id;
}

std::string device::fresh_client_id() {
    if (!fixed_client_id_.empty()) {
        clients_.insert(fixed_client_id_);
        return fixed_client_id_;
    }
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (;;) {
        std::string id;
        for (int i = 0; i < 24; ++i)
            id += digits[random_() % 36];
        if (clients_.insert(id).second)
            return id;
    }
}

Json::Value device::handle_one(const Json::Value& message, Json::Value& deliveries) {
    if (!message.isObject())
        return refused(Json::Value(Json::objectValue), "400::message is not an object");
    Json::Value reply = reply_to(message);
    if (!is_text(message, "channel"))
        return refused(reply, "400::message without channel");
    const std::string channel = message["channel"].asString();

    if (channel == channels::handshake) {
        reply["version"] = "1.0";
        reply["minimumVersion"] = "0.9";
        reply["supportedConnectionTypes"].append("long-polling");
        reply["supportedConnectionTypes"].append("callback-polling");
        reply["clientId"] = fresh_client_id();
        reply["successful"] = true;
        return reply;
    }

    // Every other message must come from a client the device knows.
    const std::string client_id = text_of(message, "clientId");
    if (clients_.count(client_id) == 0) {
        reply = refused(reply, unknown_client_error);
        reply["advice"]["reconnect"] = "handshake";
        reply["advice"]["interval"] = 0;
        return reply;
    }
    reply["clientId"] = client_id;

    if (channel == channels::connect) {
        reply["successful"] = true;
        return reply;
    }
    if (channel == channels::disconnect) {
        clients_.erase(client_id);
        reply["successful"] = true;
        return reply;
    }
    if (channel == channels::subscribe || channel == channels::unsubscribe) {
        const std::string subscription = text_of(message, "subscription");
        if (subscription.empty() || subscription[0] != '/')
            return refused(reply, "403::subscription missing or invalid");
        reply["subscription"] = subscription;
        reply["successful"] = true;
        return reply;
    }
    if (channel.compare(0, meta_prefix.size(), meta_prefix) == 0)
        return refused(reply, "400::unknown meta channel");
    return handle_publish(message, reply, deliveries);
}

Json::Value device::handle_publish(const Json::Value& message, Json::Value reply,
                                   Json::Value& deliveries) {
    if (failing_publishes_ > 0) {
        --failing_publishes_;
        reply = refused(reply, "503::publish refused");
        reply["advice"] = failure_advice_;
        return reply;
    }
    const std::string channel = message["channel"].asString();
    if (channel == channels::service_settings)
        return handle_setting(message["data"], reply, deliveries);
    if (channel == channels::service_commands)
        return handle_command(message["data"], reply, deliveries);

    // Anything else is accepted and goes nowhere: no other client listens here.
    reply["successful"] = true;
    return reply;
}

// A settings entry changes the configuration only where the whole path applies.
Json::Value device::handle_setting(const Json::Value& data, Json::Value reply,
                                   Json::Value& deliveries) {
    if (!data.isObject() || !is_text(data, "path") || !data.isMember("value")) {
        return refused(reply,
                       "400::a settings entry is an object with a text \"path\" and a \"value\"");
    }
    const std::string path = data["path"].asString();
    const Json::Value& value = data["value"];
    Json::Value changed = configuration_;
    std::size_t count = 0;
    try {
        if (parse_selector_path(path).empty() && !value.isObject()) {
            return refused(reply,
                           "400::the configuration is an object; \"$\" takes only an object value");
        }
        count = apply_setting(changed, path, value);
    } catch (const path_error& e) {
        return refused(reply, std::string("400::") + e.what());
    }
    if (count == 0)
        return refused(reply, "404::no configuration entry matches the path " + path);
    configuration_.swap(changed);
    reply["successful"] = true;
    Json::Value delivery(Json::objectValue);
    delivery["channel"] = channels::settings;
    delivery["data"]["path"] = path;
    delivery["data"]["value"] = value;
    deliveries.append(delivery);
    return reply;
}

// "update" broadcasts the whole configuration; any other command is echoed with a result.
Json::Value device::handle_command(const Json::Value& data, Json::Value reply,
                                   Json::Value& deliveries) {
    if (!data.isObject() || !is_text(data, "command")) {
        return refused(reply, "400::a command is an object with a text \"command\"");
    }
    const std::string command = data["command"].asString();
    reply["successful"] = true;
    Json::Value delivery(Json::objectValue);
    if (command == "update") {
        delivery["channel"] = channels::settings;
        delivery["data"]["path"] = "$";
        delivery["data"]["value"] = configuration_;
    } else {
        delivery["channel"] = channels::commands;
        delivery["data"]["command"] = command;
        if (data.isMember("data") && !data["data"].isNull())
            delivery["data"]["data"] = data["data"];
        delivery["data"]["result"] = "ok";
    }
    deliveries.append(delivery);
    return reply;
}

} // namespace velquin_sim
