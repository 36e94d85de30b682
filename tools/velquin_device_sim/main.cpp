// velquin_device_sim: a stand-in for the device's web service. It answers the Bayeux
// messages that velquin_publish POSTs to "/cometd" and keeps a configuration document
// that settings updates change. Fault injection lets tests script unusual answers.
#include "tools/velquin_device_sim/device.hpp"

#include "httprtsp/src/connection.hpp"
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/message.hpp"
#include "httprtsp/src/request_handler.hpp"
#include "httprtsp/src/server.hpp"
#include "velquin_version.h"

#include <boost/make_shared.hpp>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const char* const usage_text =
    "usage: velquin_device_sim [options]\n"
    "  -p, --port N          port to listen on (0, the default: any free port);\n"
    "                        the port bound is printed on the first line\n"
    "  -a, --address A       address to listen on (default 127.0.0.1)\n"
    "  -c, --config FILE     initial configuration (default: the built-in sample)\n"
    "  -t, --trace FILE      append every Bayeux message received, one JSON line each\n"
    "  --fail-publishes N    refuse the next N publishes ...\n"
    "  --advice JSON         ... with this advice (default {\"reconnect\":\"retry\",\"interval\":0})\n"
    "  --close-after N       answer N requests, then close the connection of the next one\n"
    "                        instead of answering it (once)\n"
    "  --raw-body TEXT       answer requests with TEXT as the body instead of the device's answer\n"
    "  --raw-channel CH      ... only requests whose first message is on channel CH\n"
    "  --raw-count N         ... only the first N such requests (default: all)\n"
    "  --client-id ID        every handshake grants ID (replaying recorded sessions)\n"
    "  --silent-after N      answer N requests, then read every later one and answer none\n"
    "  --close-each          answer as HTTP/1.1 with \"Connection: close\" and close after it\n"
    "  --http-1.0            answer as HTTP/1.0 without keep-alive (closes after each answer)\n"
    "  --die-with-parent     stop when the process that started it ends (tests)\n"
    "  -h, --help            this text\n"
    "  --version             the version\n";

struct options {
    std::string address = "127.0.0.1";
    unsigned port = 0;
    std::string config_file;
    std::string trace_file;
    unsigned fail_publishes = 0;
    Json::Value advice;
    long long close_after = -1;
    bool raw = false;
    std::string raw_body;
    std::string raw_channel;
    long long raw_count = -1;
    std::string client_id;
    bool die_with_parent = false;
    long long silent_after = -1;
    // Protocol of the answers; empty: the request's own (keeps the connection open).
    std::string answer_protocol;
    bool answer_closes = false;
};

// Asked for, the usage goes to standard output with status 0; after a problem, to standard
// error with status 2.
[[noreturn]] void usage_exit(const std::string& problem) {
    if (problem.empty()) {
        std::cout << usage_text << std::flush;
        std::exit(0);
    }
    std::cerr << "velquin_device_sim: " << problem << "\n" << usage_text;
    std::exit(2);
}

unsigned long long number(const std::string& option, const std::string& text,
                          unsigned long long max) {
    std::size_t used = 0;
    unsigned long long n = 0;
    try {
        if (text.empty() || text[0] == '-' || text[0] == '+')
            throw std::invalid_argument(text);
        n = std::stoull(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || used == 0 || n > max)
        usage_exit(option + " needs a whole number up to " + std::to_string(max));
    return n;
}

options read_options(int argc, char** argv) {
    options o;
    o.advice["reconnect"] = "retry";
    o.advice["interval"] = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help")
            usage_exit("");
        if (arg == "--version") {
            std::cout << "velquin_device_sim " << VELQUIN_VERSION << std::endl;
            std::exit(0);
        }
        if (arg == "--die-with-parent") {
            o.die_with_parent = true;
            continue;
        }
        if (arg == "--close-each" || arg == "--http-1.0") {
            o.answer_protocol = arg == "--close-each" ? "HTTP/1.1" : "HTTP/1.0";
            o.answer_closes = arg == "--close-each";
            continue;
        }
        if (i + 1 >= argc)
            usage_exit("unknown option or missing value: " + arg);
        const std::string value = argv[++i];
        if (arg == "-p" || arg == "--port") {
            o.port = static_cast<unsigned>(number(arg, value, 65535));
        } else if (arg == "-a" || arg == "--address") {
            o.address = value;
        } else if (arg == "-c" || arg == "--config") {
            o.config_file = value;
        } else if (arg == "-t" || arg == "--trace") {
            o.trace_file = value;
        } else if (arg == "--fail-publishes") {
            o.fail_publishes = static_cast<unsigned>(number(arg, value, 1000000));
        } else if (arg == "--advice") {
            try {
                o.advice = velquin_sim::parse_json(value);
            } catch (const std::exception& e) {
                usage_exit("--advice is not JSON: " + std::string(e.what()));
            }
        } else if (arg == "--close-after") {
            o.close_after = static_cast<long long>(number(arg, value, 1000000000));
        } else if (arg == "--raw-body") {
            o.raw = true;
            o.raw_body = value;
        } else if (arg == "--raw-count") {
            o.raw_count = static_cast<long long>(number(arg, value, 1000000000));
        } else if (arg == "--client-id") {
            o.client_id = value;
        } else if (arg == "--silent-after") {
            o.silent_after = static_cast<long long>(number(arg, value, 1000000000));
        } else if (arg == "--raw-channel") {
            o.raw_channel = value;
        } else {
            usage_exit("unknown option: " + arg);
        }
    }
    return o;
}

Json::Value load_configuration(const std::string& file) {
    std::string text = velquin_sim::sample_configuration;
    if (!file.empty()) {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read " + file);
        std::ostringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    Json::Value config = velquin_sim::parse_json(text);
    if (!config.isObject())
        throw std::runtime_error("the configuration must be a JSON object");
    return config;
}

// The channel of the first message of a request body, or "".
std::string first_channel(const std::string& body) {
    try {
        const Json::Value messages = velquin_sim::parse_json(body);
        if (messages.isArray() && !messages.empty() && messages[0].isObject() &&
            messages[0]["channel"].isString()) {
            return messages[0]["channel"].asString();
        }
    } catch (const std::exception&) {
    }
    return std::string();
}

// The "/cometd" route: every request body is a batch of Bayeux messages.
class bayeux_handler : public httprtsp::request_handler_base {
public:
    bayeux_handler(velquin_sim::device& device, const options& opts)
        : device_(device), options_(opts) {}

    void handle_request(boost::shared_ptr<httprtsp::connection> conn,
                        boost::shared_ptr<httprtsp::request> req) override {
        if (!req)
            return; // a connection closed with an error: nothing to forget
        const boost::shared_ptr<std::vector<char>> bytes = req->body();
        const std::string body = bytes ? std::string(bytes->begin(), bytes->end()) : std::string();

        velquin_sim::answer answer = device_.handle_body(body);

        const long long number = ++requests_;
        if (options_.close_after >= 0 && number == options_.close_after + 1) {
            conn->close(); // the waiting client gets no reply
            return;
        }
        if (options_.silent_after >= 0 && number > options_.silent_after)
            return; // a device that hangs: the connection stays open, nothing comes back
        if (options_.raw &&
            (options_.raw_channel.empty() || first_channel(body) == options_.raw_channel) &&
            (options_.raw_count < 0 || raw_answers_++ < options_.raw_count)) {
            answer.status = 200;
            answer.body = options_.raw_body;
        }
        boost::shared_ptr<httprtsp::reply> rep = boost::make_shared<httprtsp::reply>(*req);
        if (!options_.answer_protocol.empty()) {
            // Such a reply does not keep the connection alive: ours closes once it is written.
            rep = boost::make_shared<httprtsp::reply>();
            rep->protocol() = options_.answer_protocol;
            if (options_.answer_closes)
                rep->add_header("Connection", "close");
        }
        rep->set_status(answer.status, false);
        rep->add_header("Content-Type", "application/json;charset=UTF-8");
        rep->set_body(answer.body);
        conn->send(rep);
    }

private:
    velquin_sim::device& device_;
    const options& options_;
    std::atomic<long long> requests_{0};
    std::atomic<long long> raw_answers_{0};
};

} // namespace

int main(int argc, char** argv) {
    const options opts = read_options(argc, argv);
    try {
        velquin_sim::device device(load_configuration(opts.config_file));
        device.set_fixed_client_id(opts.client_id);
        if (opts.fail_publishes > 0)
            device.fail_next_publishes(opts.fail_publishes, opts.advice);

        std::unique_ptr<std::ofstream> trace;
        if (!opts.trace_file.empty()) {
            trace.reset(new std::ofstream(opts.trace_file, std::ios::binary | std::ios::app));
            if (!*trace)
                throw std::runtime_error("cannot write " + opts.trace_file);
            // The device calls this under its own lock, one message at a time.
            std::ofstream* out = trace.get();
            device.set_trace([out](const std::string& line) {
                *out << line;
                out->flush();
            });
        }

        // Signals are taken by sigwait below, never by the I/O threads.
        sigset_t stop_signals;
        sigemptyset(&stop_signals);
        sigaddset(&stop_signals, SIGINT);
        sigaddset(&stop_signals, SIGTERM);
        sigaddset(&stop_signals, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
        // A test that dies without stopping its simulator must not leave it running.
        if (opts.die_with_parent && (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() == 1))
            return 1;

        // One I/O thread serves every client: the device handles one message at a time
        // anyway, and Boost.Regex's shared block cache (used by the URI parser) is not
        // visible to ThreadSanitizer, which would report its reuse across threads.
        io_service_pool pool(1);
        const boost::shared_ptr<httprtsp::request_handler> routes =
            boost::make_shared<httprtsp::request_handler>();
        routes->add_route("/cometd", boost::make_shared<bayeux_handler>(device, opts));
        {
            httprtsp::server server(pool.get_io_service(), routes, opts.address,
                                    static_cast<std::uint16_t>(opts.port));
            std::cout << server.port() << std::endl;

            int received = 0;
            sigwait(&stop_signals, &received);
            server.stop();
        }
        pool.stop();
        device.set_trace(nullptr);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "velquin_device_sim: " << e.what() << "\n";
        return 1;
    }
}
