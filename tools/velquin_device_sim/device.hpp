// The Bayeux side of the device simulator, free of any network code: one HTTP body
// of Bayeux messages in, the body of the answer out. Safe to call from several I/O
// threads at once.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>

namespace velquin_sim {

namespace channels {
extern const char* const handshake;
extern const char* const connect;
extern const char* const disconnect;
extern const char* const subscribe;
extern const char* const unsubscribe;
extern const char* const settings;         // broadcast: applied settings, the configuration
extern const char* const commands;         // broadcast: command results
extern const char* const service_settings; // settings updates are published here
extern const char* const service_commands; // commands are published here
} // namespace channels

// The error text of a message from a client the device does not know.
extern const char* const unknown_client_error;

struct answer {
    unsigned status = 200; // 400 when the body is not a JSON array
    std::string body;      // compact JSON array, one line
};

class device {
public:
    explicit device(Json::Value configuration);

    device(const device&) = delete;
    device& operator=(const device&) = delete;

    // Answers one request body. Never throws for any input.
    answer handle_body(const std::string& body);

    // Answers an already parsed request; `messages` must be an array.
    Json::Value handle_messages(const Json::Value& messages);

    // A copy of the configuration as it stands.
    Json::Value configuration() const;

    // The next `count` publishes from known clients are refused with `advice`.
    void fail_next_publishes(unsigned count, const Json::Value& advice);

    // Receives every Bayeux message received, as one compact JSON line (with its line
    // feed), in the order the device handles them.
    void set_trace(std::function<void(const std::string&)> trace);

    std::size_t client_count() const;

    // Every handshake grants `id` (when not empty) instead of a fresh one, so that a
    // recorded session can be replayed byte for byte (benchmarks).
    void set_fixed_client_id(const std::string& id);

private:
    Json::Value handle_one(const Json::Value& message, Json::Value& deliveries);
    Json::Value handle_publish(const Json::Value& message, Json::Value reply,
                               Json::Value& deliveries);
    Json::Value handle_setting(const Json::Value& data, Json::Value reply, Json::Value& deliveries);
    Json::Value handle_command(const Json::Value& data, Json::Value reply, Json::Value& deliveries);
    std::string fresh_client_id();

    mutable std::mutex mutex_;
    Json::Value configuration_;
    std::set<std::string> clients_;
    unsigned failing_publishes_ = 0;
    Json::Value failure_advice_;
    std::function<void(const std::string&)> trace_;
    std::string fixed_client_id_;
    std::mt19937_64 random_;
};

// The configuration the simulator starts with when given none (sample_config.json).
extern const std::string sample_configuration;

// Reads a JSON document; throws std::runtime_error with the reader's message.
Json::Value parse_json(const std::string& text);

// Compact one-line JSON text with a final line feed, keys in byte order.
std::string compact(const Json::Value& value);

} // namespace velquin_sim
