#pragma once
// A Bayeux peer that answers in the test's own thread: it records every request
// a client sends and answers from a script, or acknowledges by default.
#include "velquin/src/client.hpp"

#include <boost/make_shared.hpp>
#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace test_support {

inline Json::Value parse_json(const std::string& text) {
    Json::Value value;
    Json::Reader reader;
    if (!reader.parse(text, value))
        throw std::runtime_error("test JSON does not parse: " + text);
    return value;
}

inline std::string compact(const Json::Value& value) {
    Json::FastWriter writer;
    return writer.write(value);
}

struct scripted_peer {
    // One scripted answer: a reply with this body, a reply without body, no reply
    // at all, or a thrown error.
    struct answer {
        enum kind_t { body, no_body, no_reply, failure } kind;
        std::string text;
    };

    std::vector<boost::shared_ptr<httprtsp::request>> requests;
    std::deque<answer> script;
    std::vector<int> pauses;
    std::string granted_client_id = "granted-1";

    void then_body(const std::string& text) { script.push_back({answer::body, text}); }
    void then_no_body() { script.push_back({answer::no_body, ""}); }
    void then_no_reply() { script.push_back({answer::no_reply, ""}); }
    void then_failure() { script.push_back({answer::failure, ""}); }

    velquin::client_base::exchange_hooks hooks() {
        velquin::client_base::exchange_hooks h;
        h.exchange = [this](const boost::shared_ptr<httprtsp::request>& request) {
            return respond(request);
        };
        h.pause = [this](int milliseconds) { pauses.push_back(milliseconds); };
        return h;
    }

    std::string body_of(std::size_t index) const {
        const auto& bytes = *requests.at(index)->body();
        return std::string(bytes.begin(), bytes.end());
    }

    // The one Bayeux message a request carried.
    Json::Value message_of(std::size_t index) const { return parse_json(body_of(index))[0u]; }

    std::vector<std::string> channels_sent() const {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            const Json::Value message = message_of(i);
            std::string name = message["channel"].asString();
            if (message.isMember("subscription"))
                name += " " + message["subscription"].asString();
            out.push_back(name);
        }
        return out;
    }

    boost::shared_ptr<httprtsp::reply>
    respond(const boost::shared_ptr<httprtsp::request>& request) {
        requests.push_back(request);
        auto reply = boost::make_shared<httprtsp::reply>();
        reply->status() = 200;
        if (script.empty()) {
            reply->set_body(acknowledgement(message_of(requests.size() - 1)));
            return reply;
        }
        const answer next = script.front();
        script.pop_front();
        switch (next.kind) {
        case answer::body:
            reply->set_body(next.text);
            return reply;
        case answer::no_body:
            return reply;
        case answer::no_reply:
            return boost::shared_ptr<httprtsp::reply>();
        case answer::failure:
            throw std::runtime_error("exchange failed");
        }
        return reply;
    }

    std::string acknowledgement(const Json::Value& message) const {
        Json::Value ack(Json::objectValue);
        ack["channel"] = message["channel"];
        ack["id"] = message["id"];
        ack["successful"] = true;
        if (message["channel"] == "/meta/handshake")
            ack["clientId"] = granted_client_id;
        Json::Value all(Json::arrayValue);
        all.append(ack);
        return compact(all);
    }
};

class test_client_base : public velquin::client_base {
public:
    explicit test_client_base(scripted_peer& peer)
        : client_base("localhost", "0", nullptr, nullptr, peer.hooks()) {}
};

class test_client : public velquin::client {
public:
    explicit test_client(scripted_peer& peer)
        : client("localhost", "0", nullptr, nullptr, peer.hooks()) {}
};

} // namespace test_support

#pragma GCC diagnostic pop
