#include "velquin/src/client_base.hpp"

#include "cometd/src/fields.hpp"
#include "httprtsp/src/io_service_helper.hpp"

#include <boost/asio/error.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
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

bool answer_within_limits(const char* begin, const char* end, const answer_limits& limits,
                          std::string& why) {
    // Outside texts, every value but the first follows a comma or an opening bracket, so
    // these count the values from above. Comments are not accepted, so no text hides in one.
    std::size_t depth = 0, values = 1;
    bool in_text = false, escaped = false;
    for (const char* p = begin; p != end; ++p) {
        const char c = *p;
        if (in_text) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_text = false;
            continue;
        }
        switch (c) {
        case '"':
            in_text = true;
            break;
        case '[':
        case '{':
            if (++depth > limits.depth) {
                why = "answered JSON nested deeper than " + std::to_string(limits.depth) +
                      " levels on /cometd";
                return false;
            }
            ++values;
            break;
        case ']':
        case '}':
            if (depth > 0)
                --depth;
            break;
        case ',':
            ++values;
            break;
        default:
            break;
        }
        if (values > limits.values) {
            why = "answered JSON of more than " + std::to_string(limits.values) +
                  " values on /cometd";
            return false;
        }
    }
    return true;
}

bool parse_answer(const char* begin, const char* end, const answer_limits& limits,
                  Json::Value& answer, std::string& why) {
    if (!answer_within_limits(begin, end, limits, why))
        return false;
    Json::CharReaderBuilder builder;
    builder["allowComments"] = false;
    builder["collectComments"] = false;
    builder["allowTrailingCommas"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value parsed;
    bool parsed_whole = false;
    try {
        parsed_whole = reader->parse(begin, end, &parsed, nullptr);
    } catch (const std::exception&) {
        // Thrown for nesting past the reader's own limit: unparsable like any other.
    }
    // A tree that failed half way is dropped: only a whole answer may be printed.
    if (!parsed_whole || !parsed.isArray()) {
        why = "answered something other than a JSON array of Bayeux messages on /cometd";
        return false;
    }
    answer.swap(parsed);
    return true;
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
    if (limits.reply_limits)
        set_reply_limits(*limits.reply_limits);
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

void client_base::note_failure(const std::string& what) {
    if (failure.empty())
        failure = what;
}

std::optional<std::chrono::milliseconds> client_base::time_left() const {
    if (!limits.deadline)
        return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    if (now >= *limits.deadline)
        throw deadline_passed();
    // Rounded up: a wait cut to zero would not wait at all.
    return std::chrono::ceil<std::chrono::milliseconds>(*limits.deadline - now);
}

namespace {

std::optional<std::chrono::milliseconds> shorter(std::optional<std::chrono::milliseconds> a,
                                                 std::optional<std::chrono::milliseconds> b) {
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

// The line httprtsp::client writes for a failed exchange, for the failures met here first.
void report(const boost::system::error_code& error) {
    const std::string line = "BOOST SYSTEM ERROR : " + error.message() + "\n";
    std::FILE* const out = httprtsp::log_stream();
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

} // namespace

boost::shared_ptr<httprtsp::reply>
client_base::exchange(const boost::shared_ptr<httprtsp::request>& request) {
    const std::optional<std::chrono::milliseconds> left = time_left();
    if (hooks.exchange)
        return hooks.exchange(request);
    if (connect_gave_up) {
        report(connect_gave_up);
        return boost::shared_ptr<httprtsp::reply>();
    }
    if (!unresponsive()) {
        // Connected here rather than inside issue_request so that the failure's own text is
        // known for the run's summary.
        set_connect_timeout(shorter(limits.connect_timeout, left));
        try {
            ensure_connected();
        } catch (const boost::system::system_error& e) {
            if (e.code() == boost::asio::error::timed_out)
                connect_gave_up = e.code();
            report(e.code());
            note_failure(e.code().message());
            time_left();
            return boost::shared_ptr<httprtsp::reply>();
        }
    }
    boost::shared_ptr<httprtsp::reply> reply;
    try {
        reply = issue_request(request, shorter(limits.reply_timeout, left));
    } catch (const boost::system::system_error& e) {
        // The connection failed under the request (the device broke it before the request
        // was written): this exchange fails as with a dead device; the run goes on.
        report(e.code());
        note_failure(e.code().message());
        close_connection();
        time_left();
        return boost::shared_ptr<httprtsp::reply>();
    }
    if (!reply) {
        note_failure(unresponsive()
                         ? boost::system::error_code(boost::asio::error::timed_out).message()
                         : "the connection closed without a usable reply");
        time_left();
    }
    return reply;
}

void client_base::pause(int milliseconds) {
    std::chrono::milliseconds wait(std::max(0, milliseconds));
    wait = std::min(wait, limits.advice_interval_cap);
    const std::optional<std::chrono::milliseconds> left = time_left();
    const bool cut = left && *left < wait;
    if (cut)
        wait = *left;
    if (hooks.pause)
        hooks.pause(static_cast<int>(wait.count()));
    else
        std::this_thread::sleep_for(wait);
    if (cut)
        throw deadline_passed();
}

bool client_base::take_answer(const httprtsp::reply& reply, const Json::Value& message,
                              Json::Value& answer, bool& out_of_step) {
    const unsigned status = reply.status();
    if (status < 200 || status > 299) {
        // Interim replies never get here (the connection skips them); after a 101 the
        // connection speaks another protocol, so nothing on it belongs to us any more.
        out_of_step = status < 200;
        note_failure("answered HTTP " + std::to_string(status) + " on /cometd");
        return false;
    }
    const boost::shared_ptr<std::vector<char>> body = reply.body();
    if (!body || body->empty()) {
        // A bodiless reply ahead of the real one ("204 No Content") leaves that one unclaimed.
        out_of_step = true;
        note_failure("answered HTTP " + std::to_string(status) + " without a body on /cometd");
        return false;
    }
    Json::Value parsed;
    std::string why;
    if (!parse_answer(body->data(), body->data() + body->size(), limits.answer, parsed, why)) {
        note_failure(why);
        return false;
    }
    // Messages that carry ids answer the message with one of them; other ids mean the
    // replies on this connection are out of step. Messages without ids are taken.
    bool only_other_ids = false;
    const Json::Value& own_id = message[fields::id];
    for (const Json::Value& element : parsed) {
        const Json::Value* id =
            element.isObject()
                ? element.find(fields::id.data(), fields::id.data() + fields::id.size())
                : nullptr;
        if (!id)
            continue;
        if (*id == own_id) {
            only_other_ids = false;
            break;
        }
        only_other_ids = true;
    }
    if (only_other_ids) {
        out_of_step = true;
        note_failure("answered another exchange's messages on /cometd");
        return false;
    }
    answer.swap(parsed);
    return true;
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
    answer = Json::Value();
    if (!reply)
        return false;
    bool out_of_step = false;
    if (!take_answer(*reply, message, answer, out_of_step)) {
        // Whatever follows on this connection may belong to this exchange: start afresh.
        if (out_of_step)
            close_connection();
        return false;
    }
    last_answered = true;
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
    // Advice is followed a few times, in a loop so that a long run of advice cannot grow
    // the stack.
    for (unsigned repeats = 0;; ++repeats) {
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
        if (!advice || !advice->isObject() || repeats == limits.advice_repeats)
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
