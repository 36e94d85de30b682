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

#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

int run(const publish::command_options& options, publish::selected_action action) {
    std::optional<io_service_pool> pool;
    boost::shared_ptr<httprtsp::request_handler> handler;
    boost::shared_ptr<velquin::client> client;
    int status = 0;
    try {
        pool.emplace(3);
        handler = boost::make_shared<httprtsp::request_handler>();
        client = boost::make_shared<velquin::client>(options.host, options.port, handler,
                                                     pool->get_io_service());
        publish::perform_action(*client, options, action, std::cout);
        client->disconnect();
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
    const std::vector<std::string> arguments(argv + 1, argv + argc);
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
