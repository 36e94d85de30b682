#pragma once
// A Bayeux client over our HTTP/RTSP client: every Bayeux message travels as
// the JSON body of one POST to "/cometd", and the answer comes back in the
// body of its reply.
#include "cometd/src/base.hpp"
#include "httprtsp/src/client.hpp"
#include "httprtsp/src/message.hpp"
#include "httprtsp/src/message_format.hpp"
#include "httprtsp/src/request_handler_base.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <json/value.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace velquin {

// How big an answer may be before its JSON tree is built: a tree costs tens of bytes per
// byte of a body like "[0,0,...]", and every level of nesting costs the styled output an
// indentation on every line below it.
struct answer_limits {
    // Arrays and objects inside one another, the outermost array included.
    std::size_t depth = 32;
    // Values of the tree (keys and array elements counted), roughly 100 bytes each.
    std::size_t values = 100000;
};

// Whether a body stays within the limits; otherwise `why` says which it passed. Reads the
// bytes only; a body that is not JSON may pass, the parser then refuses it.
bool answer_within_limits(const char* begin, const char* end, const answer_limits& limits,
                          std::string& why);

// Parses a reply body as an answer: within the limits, JSON without comments, an array at
// the top. Otherwise false, with `why` saying what came instead, and `answer` untouched.
bool parse_answer(const char* begin, const char* end, const answer_limits& limits,
                  Json::Value& answer, std::string& why);

// Thrown when the run's deadline passes: no exchange starts and no wait lasts beyond it.
struct deadline_passed : std::runtime_error {
    deadline_passed() : std::runtime_error("the run's deadline passed") {}
};

// How long a device may keep an exchange waiting, and what to do before a client whose
// construction failed lets go of its connection.
struct client_settings {
    // Connecting (every address of the host together) gives up after this.
    std::optional<std::chrono::milliseconds> connect_timeout = std::chrono::seconds(10);
    // A reply not arrived this long after its request was sent fails the exchange; above
    // the 30 s for which Bayeux servers commonly hold a long poll.
    std::optional<std::chrono::milliseconds> reply_timeout = std::chrono::seconds(60);
    // What a reply may hold (header lines, body); none: the connection's own default.
    std::optional<httprtsp::parser_limits> reply_limits;
    answer_limits answer;
    // A publish refused with "retry" or "handshake" advice is repeated at most this often,
    // and an advised pause lasts at most this long.
    unsigned advice_repeats = 5;
    std::chrono::milliseconds advice_interval_cap = std::chrono::seconds(10);
    // Past this point exchanges and pauses throw deadline_passed; connect and reply
    // time-outs are shortened so that none outlasts it.
    std::optional<std::chrono::steady_clock::time_point> deadline;
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

    // Follows "handshake" and "retry" advice, at most settings::advice_repeats times;
    // returns true whenever it returns.
    bool publish(const std::string& channel, const Json::Value& data, Json::Value& answer);
    bool publish_setting(const std::string& channel, const std::string& path,
                         const Json::Value& value, Json::Value& answer);

    // Carries one message and judges the answer by its last element's "successful". Only a
    // 2xx reply whose body is a JSON array within the answer limits, and whose messages
    // carry this message's id when they carry ids at all, counts as an answer; anything
    // else leaves the answer null. After an interim or bodiless reply, or messages of
    // another exchange, the connection is closed: what follows on it could be taken for a
    // later exchange's answer.
    bool send_message(const std::string& method, const Json::Value& message, Json::Value& answer);

    // Whether the server sent any reply to the latest exchange, and to the handshake made
    // by the constructor. A reply saying "successful": false is a reply.
    bool last_exchange_answered() const { return last_answered; }
    bool first_handshake_answered() const { return first_handshake_replied; }
    // What went wrong first in this client's exchanges ("Connection refused", "answered HTTP
    // 404 on /cometd"); empty while nothing has.
    const std::string& first_failure() const { return failure; }

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
    void note_failure(const std::string& what);
    // Throws deadline_passed once the deadline has passed; otherwise the time left, if any.
    std::optional<std::chrono::milliseconds> time_left() const;
    // Judges a reply and parses it into `answer`; false when it is not an answer, with
    // `out_of_step` set when later replies on the connection may belong to this exchange.
    bool take_answer(const httprtsp::reply& reply, const Json::Value& message, Json::Value& answer,
                     bool& out_of_step);

    exchange_hooks hooks;
    settings limits;
    bool last_answered = false;
    bool first_handshake_replied = false;
    std::string failure;
    boost::system::error_code connect_gave_up; // a connect that timed out: the host is dead
};

// Truth of a JSON value as the success flag reads it: null, false, zero, an
// empty text, array or object are false; everything else is true.
bool json_truth(const Json::Value& value);

// Whether a parsed answer reports success: an array whose last element is an
// object with a true "successful".
bool answer_successful(const Json::Value& answer);

} // namespace velquin
