#pragma once
// A Bayeux client over our HTTP/RTSP client: every Bayeux message travels as
// the JSON body of one POST to "/cometd", and the answer comes back in the
// body of its reply.
#include "cometd/src/base.hpp"
#include "httprtsp/src/client.hpp"
#include "httprtsp/src/message.hpp"
#include "httprtsp/src/request_handler_base.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/shared_ptr.hpp>
#include <json/value.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace velquin {

// How long a device may keep an exchange waiting, and what to do before a client whose
// construction failed lets go of its connection.
struct client_settings {
    // Connecting (every address of the host together) gives up after this.
    std::optional<std::chrono::milliseconds> connect_timeout = std::chrono::seconds(10);
    // A reply not arrived this long after its request was sent fails the exchange; above
    // the 30 s for which Bayeux servers commonly hold a long poll.
    std::optional<std::chrono::milliseconds> reply_timeout = std::chrono::seconds(60);
    // Called when an exception leaves the constructor, before the connection is closed:
    // the owner stops its I/O threads there, so that none of them sees it close.
    std::function<void()> on_construction_failure;
};

class client_base : public httprtsp::client, public cometd::base {
public:
    // Carries one request and gives its reply (empty when there is none).
    typedef std::function<boost::shared_ptr<httprtsp::reply>(
        const boost::shared_ptr<httprtsp::request>&)>
        exchange_function;
    // Blocks the calling thread for a number of milliseconds (never negative).
    typedef std::function<void(int)> pause_function;

    // Replaces the network exchange and the advice pause, so message building
    // and answer judging can be exercised without a peer.
    struct exchange_hooks {
        exchange_function exchange;
        pause_function pause;
    };

    typedef client_settings settings;

    // Performs the first handshake; a failed handshake does not fail construction.
    client_base(const std::string& host, const std::string& port,
                boost::shared_ptr<httprtsp::request_handler_base> handler,
                boost::shared_ptr<boost::asio::io_service> io_service);
    client_base(const std::string& host, const std::string& port,
                boost::shared_ptr<httprtsp::request_handler_base> handler,
                boost::shared_ptr<boost::asio::io_service> io_service, settings limits);
    ~client_base() override;

    virtual bool disconnect();
    virtual bool handshake(Json::Value& answer);

    bool connect(Json::Value& answer);
    bool disconnect(Json::Value& answer);
    bool subscribe(const std::string& channel, Json::Value& answer);
    bool unsubscribe(const std::string& channel, Json::Value& answer);

    // Follows "handshake" and "retry" advice for as long as the server gives it;
    // returns true whenever it returns.
    bool publish(const std::string& channel, const Json::Value& data, Json::Value& answer);
    bool publish_setting(const std::string& channel, const std::string& path,
                         const Json::Value& value, Json::Value& answer);

    // Carries one message and judges the answer by its last element's "successful".
    bool send_message(const std::string& method, const Json::Value& message, Json::Value& answer);

    // Whether the server sent any reply to the latest exchange, and to the handshake made
    // by the constructor. A reply saying "successful": false is a reply.
    bool last_exchange_answered() const { return last_answered; }
    bool first_handshake_answered() const { return first_handshake_replied; }

    // Empty until a handshake succeeds; later handshakes replace it, nothing clears it.
    std::string client_id;

protected:
    client_base(const std::string& host, const std::string& port,
                boost::shared_ptr<httprtsp::request_handler_base> handler,
                boost::shared_ptr<boost::asio::io_service> io_service, exchange_hooks hooks,
                settings limits = settings());

    // For a derived constructor that fails after this part was built.
    void construction_failed() const;

private:
    boost::shared_ptr<httprtsp::reply>
    exchange(const boost::shared_ptr<httprtsp::request>& request);
    void pause(int milliseconds);

    exchange_hooks hooks;
    settings limits;
    bool last_answered = false;
    bool first_handshake_replied = false;
};

// Truth of a JSON value as the success flag reads it: null, false, zero, an
// empty text, array or object are false; everything else is true.
bool json_truth(const Json::Value& value);

// Whether a parsed answer reports success: an array whose last element is an
// object with a true "successful".
bool answer_successful(const Json::Value& answer);

} // namespace velquin
