// velquin_publish: joins a device's Bayeux service, performs at most one
// action (print the configuration, send a command, set one entry), leaves the
// service and exits.
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/request_handler.hpp"
#include "publish/src/actions.hpp"
#include "publish/src/options.hpp"
#include "velquin/src/client.hpp"

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The device never replied to the exchange whose answer the run prints.
const int status_no_answer = 2;

// Real configurations are kilobytes; 4 MiB leaves room for a hundredfold growth while a
// hostile body, with the tree built from it, stays far below the memory of any workstation.
const std::uint64_t reply_body_limit = std::uint64_t(4) << 20;

// "host:port", with an IPv6 address in brackets.
std::string device_name(const publish::command_options& options) {
    const bool ipv6 = options.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + options.host + "]" : options.host) + ":" + options.port;
}

void say(const std::string& line) {
    std::cerr << "velquin_publish: " << line << std::endl;
}

std::string seconds_text(std::chrono::milliseconds duration) {
    std::ostringstream text;
    text << std::chrono::duration<double>(duration).count();
    return text.str();
}

int run(const publish::command_options& options, publish::selected_action action) {
    std::optional<io_service_pool> pool;
    boost::shared_ptr<httprtsp::request_handler> handler;
    boost::shared_ptr<velquin::client> client;
    int status = 0;
    bool answered = false, acted = false, late = false;
    try {
        pool.emplace(3);
        handler = boost::make_shared<httprtsp::request_handler>();
        velquin::client::settings limits;
        limits.connect_timeout = options.connect_timeout;
        limits.deadline = std::chrono::steady_clock::now() + options.max_time;
        httprtsp::parser_limits replies; // today's header limits
        replies.body = reply_body_limit;
        limits.reply_limits = replies;
        // A half-made client closes its connection as it goes: the threads must be gone
        // first, or they would report the aborted read of a connection nobody wants.
        limits.on_construction_failure = [&pool] { pool->stop(); };
        client = boost::make_shared<velquin::client>(options.host, options.port, handler,
                                                     pool->get_io_service(), limits);
        answered = publish::perform_action(*client, options, action, std::cout);
        acted = true;
        client->disconnect();
        if (!answered)
            status = status_no_answer;
    } catch (const velquin::deadline_passed&) {
        // The run stops where it is; an answer printed before stays valid.
        late = true;
        status = acted && answered ? 0 : status_no_answer;
    } catch (...) {
        // Whatever escaped, the threads are still stopped and joined below;
        // nothing is printed for it.
        status = 1;
    }
    try {
        // The I/O threads must be gone before the objects they work on are released.
        if (pool)
            pool->stop();
    } catch (...) {
        status = 1;
    }
    const std::string failure = client ? client->first_failure() : std::string();
    client.reset();
    handler.reset();
    pool.reset();
    if (late && status == 0) {
        say(device_name(options) + ": stopped after the answer: the run's " +
            seconds_text(options.max_time) + " s (--max-time) ran out");
    } else if (late) {
        say(device_name(options) + ": no usable answer within " + seconds_text(options.max_time) +
            " s (--max-time)");
    } else if (status == status_no_answer) {
        say(device_name(options) + ": " + (failure.empty() ? "no answer" : failure));
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // Standard output carries only the result (it may be piped into a file or a JSON tool).
    httprtsp::set_log_stream(stderr);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    switch (publish::find_info_request(arguments)) {
    case publish::info_request::help:
        std::cout << publish::usage_text() << std::flush;
        return 0;
    case publish::info_request::version:
        std::cout << publish::version_text() << std::flush;
        return 0;
    case publish::info_request::none:
        break;
    }
    const publish::scan_result scanned = publish::scan_command_line(arguments);
    switch (scanned.outcome) {
    case publish::scan_outcome::usage:
        if (!scanned.problem.empty())
            say(scanned.problem);
        std::cout << publish::usage_text() << std::flush;
        break;
    case publish::scan_outcome::bad_json_value:
        std::cout << publish::bad_json_value_message << std::endl;
        break;
    case publish::scan_outcome::run:
        if (!scanned.warning.empty())
            say(scanned.warning);
        return run(scanned.options, scanned.action);
    }
    return scanned.exit_status();
}
