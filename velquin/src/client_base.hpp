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

#include <functional>
#include <string>

namespace velquin {

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

    // Performs the first handshake; a failed handshake does not fail construction.
    client_base(const std::string& host, const std::string& port,
                boost::shared_ptr<httprtsp::request_handler_base> handler,
                boost::shared_ptr<boost::asio::io_service> io_service);
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

    // Empty until a handshake succeeds; later handshakes replace it, nothing clears it.
    std::string client_id;

protected:
    client_base(const std::string& host, const std::string& port,
                boost::shared_ptr<httprtsp::request_handler_base> handler,
                boost::shared_ptr<boost::asio::io_service> io_service, exchange_hooks hooks);

private:
    boost::shared_ptr<httprtsp::reply>
    exchange(const boost::shared_ptr<httprtsp::request>& request);
    void pause(int milliseconds);

    exchange_hooks hooks;
};

// Truth of a JSON value as the success flag reads it: null, false, zero, an
// empty text, array or object are false; everything else is true.
bool json_truth(const Json::Value& value);

// Whether a parsed answer reports success: an array whose last element is an
// object with a true "successful".
bool answer_successful(const Json::Value& answer);

} // namespace velquin
