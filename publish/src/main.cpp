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
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

// The device never replied to the exchange whose answer the run prints.
const int status_no_answer = 2;

// Tests shorten the time-outs through VELQUIN_PUBLISH_TEST_TIMEOUTS="<connect ms>,<reply ms>"
// so that a dead device costs them milliseconds; anything else there is ignored.
void apply_test_timeouts(velquin::client::settings& limits) {
    const char* text = std::getenv("VELQUIN_PUBLISH_TEST_TIMEOUTS");
    if (!text)
        return;
    unsigned long connect_ms = 0, reply_ms = 0;
    char end = 0;
    if (std::sscanf(text, "%lu,%lu%c", &connect_ms, &reply_ms, &end) != 2 || connect_ms == 0 ||
        reply_ms == 0 || connect_ms > 600000 || reply_ms > 600000)
        return;
    limits.connect_timeout = std::chrono::milliseconds(connect_ms);
    limits.reply_timeout = std::chrono::milliseconds(reply_ms);
}

int run(const publish::command_options& options, publish::selected_action action) {
    std::optional<io_service_pool> pool;
    boost::shared_ptr<httprtsp::request_handler> handler;
    boost::shared_ptr<velquin::client> client;
    int status = 0;
    try {
        pool.emplace(3);
        handler = boost::make_shared<httprtsp::request_handler>();
        velquin::client::settings limits;
        apply_test_timeouts(limits);
        // A half-made client closes its connection as it goes: the threads must be gone
        // first, or they would report the aborted read of a connection nobody wants.
        limits.on_construction_failure = [&pool] { pool->stop(); };
        client = boost::make_shared<velquin::client>(options.host, options.port, handler,
                                                     pool->get_io_service(), limits);
        const bool answered = publish::perform_action(*client, options, action, std::cout);
        client->disconnect();
        if (!answered)
            status = status_no_answer;
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
    client.reset();
    handler.reset();
    pool.reset();
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
        std::cout << publish::usage_text() << std::flush;
        break;
    case publish::scan_outcome::bad_json_value:
        std::cout << publish::bad_json_value_message << std::endl;
        break;
    case publish::scan_outcome::run:
        return run(scanned.options, scanned.action);
    }
    return scanned.exit_status();
}
