// velquin_publish as a real process against the device simulator (also a real process),
// and against a scripted raw peer where the exact bytes matter.
#include "tests/publish/expected_usage.hpp"
#include "tests/support/child_process.h"
#include "tests/support/refusing_port.hpp"
#include "tests/support/temp_files.hpp"
#include "tests/support/raw_peer.hpp"
#include "tools/velquin_device_sim/device.hpp"

#include <gtest/gtest.h>

#include <json/writer.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using velquin_sim::parse_json;

const std::string publish_exe = vq_testing::publish_program(VQ_PUBLISH_EXE);
const std::string sim_exe = VQ_SIM_EXE;

std::string styled(const Json::Value& value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::StyledWriter writer;
    return writer.write(value);
#pragma GCC diagnostic pop
}

// What the program prints for one answer: the styled document and a blank line.
std::string printed(const Json::Value& value) {
    return styled(value) + "\n";
}

const Json::Value& sample() {
    static const Json::Value config = parse_json(velquin_sim::sample_configuration);
    return config;
}

std::string describe(const vq_testing::run_result& r) {
    return "status " + std::to_string(r.status) + (r.timed_out ? " (killed by the watchdog)" : "") +
           "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

// The simulator with a trace file, on a free loopback port.
class simulator {
public:
    explicit simulator(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--die-with-parent", "--trace", dir_.file("trace")};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.begin(), sim_exe);
        process_.reset(new vq_testing::child_process(args, {"", vq_testing::error_output::merged}));
        if (!process_->read_line(port_, 30000) ||
            port_.find_first_not_of("0123456789") != std::string::npos || port_.empty()) {
            ADD_FAILURE() << "the simulator did not print its port:\n" << process_->output();
        }
    }

    const std::string& port() const { return port_; }

    vq_testing::run_result
    publish(const std::vector<std::string>& args,
            std::chrono::milliseconds limit = std::chrono::seconds(60)) const {
        std::vector<std::string> full{"-H", "127.0.0.1", "-P", port_};
        full.insert(full.end(), args.begin(), args.end());
        full.insert(full.begin(), publish_exe);
        return vq_testing::run(full, limit);
    }

    std::vector<Json::Value> trace() const {
        std::vector<Json::Value> messages;
        for (const std::string& line : vq_testing::read_lines(dir_.file("trace")))
            messages.push_back(parse_json(line));
        return messages;
    }

    std::string log() const { return process_->output(); }

private:
    vq_testing::temp_dir dir_;
    std::unique_ptr<vq_testing::child_process> process_;
    std::string port_;
};

// A message as "channel" or "channel subscription", for comparing sequences.
std::string shape(const Json::Value& m) {
    std::string s = m["channel"].asString();
    if (m.isMember("subscription"))
        s += " " + m["subscription"].asString();
    return s;
}

const std::vector<std::string> joining{"/meta/handshake", "/meta/subscribe /velquin/settings",
                                       "/meta/subscribe /velquin/query",
                                       "/meta/subscribe /velquin/commands"};
const std::vector<std::string> leaving{"/meta/unsubscribe /velquin/settings",
                                       "/meta/unsubscribe /velquin/query",
                                       "/meta/unsubscribe /velquin/commands", "/meta/disconnect"};

std::vector<std::string> sequence(const std::vector<std::vector<std::string>>& parts) {
    std::vector<std::string> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Channels in order, and ids "TAG-1".."TAG-n" with one signed 32-bit tag.
void expect_sequence(const std::vector<Json::Value>& trace,
                     const std::vector<std::string>& expected) {
    std::vector<std::string> shapes;
    for (const Json::Value& m : trace)
        shapes.push_back(shape(m));
    EXPECT_EQ(shapes, expected);
    std::string tag;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const std::string id = trace[i]["id"].asString();
        const std::string suffix = "-" + std::to_string(i + 1);
        ASSERT_GT(id.size(), suffix.size()) << id;
        EXPECT_EQ(id.substr(id.size() - suffix.size()), suffix) << "message " << i;
        const std::string this_tag = id.substr(0, id.size() - suffix.size());
        if (i == 0)
            tag = this_tag;
        EXPECT_EQ(this_tag, tag) << "every message of a run carries the same tag";
    }
    ASSERT_TRUE(std::regex_match(tag, std::regex("-?[0-9]+"))) << tag;
    const long long number = std::stoll(tag);
    EXPECT_GE(number, INT32_MIN);
    EXPECT_LE(number, INT32_MAX);
}

std::string repeated(const std::string& line, int times) {
    std::string all;
    for (int i = 0; i < times; ++i)
        all += line;
    return all;
}

// The system's text for a time-out: glibc's, or under Wine the Windows error 10060, for which
// Wine has no text (Windows itself says "A connection attempt failed because ...").
const std::string timed_out = vq_testing::is_windows_program(publish_exe)
                                  ? "BOOST SYSTEM ERROR : Unknown error (10060)\n"
                                  : "BOOST SYSTEM ERROR : Connection timed out\n";

// A loopback listener whose accept queue is full: the kernel drops further connection
// attempts, which then neither complete nor get refused.
class full_listener {
public:
    full_listener() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listener_, 0) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        for (int i = 0; i < 16 && !full_; ++i) {
            const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            fillers_.push_back(filler);
            connect(filler, reinterpret_cast<sockaddr*>(&address), length);
            pollfd done{filler, POLLOUT, 0};
            full_ = poll(&done, 1, 200) == 0; // this attempt hangs: the queue is full
        }
    }
    ~full_listener() {
        for (int fd : fillers_)
            close(fd);
        close(listener_);
    }
    full_listener(const full_listener&) = delete;
    full_listener& operator=(const full_listener&) = delete;

    bool full() const { return full_; }
    std::string port() const { return std::to_string(port_); }

private:
    int listener_ = -1;
    unsigned short port_ = 0;
    bool full_ = false;
    std::vector<int> fillers_;
};

// ---------------------------------------------------------------------------

TEST(EndToEndTest, EachActionSendsItsMessagesInOrder) {
    const char* const source_path = "$.sessions.sources[?(@.id==1)][0]";
    const char* const connections =
        R"([{"out": {"module_id": 2, "channel_id": 0}, "in": {"module_id": 1, "channel_id": 0}}])";
    const std::string jv_data =
        std::string(R"({"path": "$.actions.create_connections", "value": )") + connections + "}";
    struct action_case {
        std::vector<std::string> args;
        const char* channel; // of the publish; nullptr: no action
        const char* data;    // what it carries
    } cases[] = {
        {{"-c"}, "/service/velquin/commands", R"({"command": "update"})"},
        {{"-c", "-o", "-v", "reboot"}, "/service/velquin/commands", R"({"command": "update"})"},
        {{"-o", "-v", "reboot"},
         "/service/velquin/commands",
         R"({"command": "reboot", "data": null})"},
        {{"-o", "-v", "gpio_read_iic", "-k",
          R"({"device_addr": 45, "register_addr": 30, "value": 5})"},
         "/service/velquin/commands",
         R"({"command": "gpio_read_iic", "data": {"device_addr": 45, "register_addr": 30, "value": 5}})"},
        {{"-o", "-p", source_path, "-k", R"({"a": 1})", "-v", "x"},
         "/service/velquin/commands",
         R"({"command": "x", "data": {"a": 1}})"},
        {{"-p", source_path, "-k", "name", "-v", "mySource1"},
         "/service/velquin/settings",
         R"({"path": "$.sessions.sources[?(@.id==1)][0]", "value": {"name": "mySource1"}})"},
        {{source_path, "name", "mySource1"},
         "/service/velquin/settings",
         R"({"path": "$.sessions.sources[?(@.id==1)][0]", "value": {"name": "mySource1"}})"},
        {{"-p", "$._modules[?(@.id==254)][0]", "-k", "outputs_1to8", "-v", "110"},
         "/service/velquin/settings",
         R"({"path": "$._modules[?(@.id==254)][0]", "value": {"outputs_1to8": 110}})"},
        {{"-o", "-p", source_path, "-k", "enabled"},
         "/service/velquin/settings",
         R"({"path": "$.sessions.sources[?(@.id==1)][0]", "value": {"enabled": ""}})"},
        {{"-p", "$.actions.create_connections", "-jv", connections},
         "/service/velquin/settings",
         jv_data.c_str()},
        {{"-o"}, nullptr, nullptr},
    };
    for (const action_case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        simulator sim;
        const vq_testing::run_result r = sim.publish(c.args);
        ASSERT_EQ(r.status, 0) << describe(r);
        const std::vector<Json::Value> trace = sim.trace();
        if (c.channel == nullptr) {
            expect_sequence(trace, sequence({joining, leaving}));
            EXPECT_EQ(r.out, "") << "no action prints nothing";
            continue;
        }
        expect_sequence(trace, sequence({joining, {c.channel}, leaving}));
        ASSERT_EQ(trace.size(), 9u);
        EXPECT_EQ(trace[4]["data"], parse_json(c.data));
        // Every message after the handshake carries the client id the device granted.
        std::set<std::string> client_ids;
        for (std::size_t i = 1; i < trace.size(); ++i)
            client_ids.insert(trace[i]["clientId"].asString());
        EXPECT_EQ(client_ids.size(), 1u);
        EXPECT_FALSE(client_ids.begin()->empty());
        EXPECT_FALSE(trace[0].isMember("clientId"));
        // The output is the styled answer and a blank line.
        if (trace[4]["data"] == parse_json(R"({"command": "update"})")) {
            EXPECT_EQ(r.out, printed(sample()));
        } else {
            const Json::Value answer = parse_json(r.out);
            EXPECT_EQ(r.out, printed(answer));
            EXPECT_EQ(answer[0]["successful"], Json::Value(true)) << r.out;
        }
    }
}

TEST(EndToEndTest, RequestsGoOutByteExactOnOneConnection) {
    e2e::raw_peer peer([](std::size_t n, const std::string&) -> std::string {
        if (n == 0)
            return R"([{"channel":"/meta/handshake","clientId":"c-7","successful":true}])";
        return R"([{"successful":true}])";
    });
    const vq_testing::run_result r =
        vq_testing::run({publish_exe, "-H", "127.0.0.1", "-P", std::to_string(peer.port()), "-c"});
    ASSERT_EQ(r.status, 0) << describe(r);
    // No configuration in the answer: the whole answer is printed.
    EXPECT_EQ(r.out, "[\n   {\n      \"successful\" : true\n   }\n]\n\n");

    const std::vector<std::string> requests = peer.requests();
    ASSERT_EQ(requests.size(), 9u);
    EXPECT_EQ(peer.connections(), 1u) << "every exchange shares one keep-alive connection";
    std::smatch m;
    ASSERT_TRUE(std::regex_search(requests[0], m, std::regex("\"id\":\"(-?[0-9]+)-1\"")))
        << requests[0];
    const std::string tag = m[1];

    const auto wire = [](const std::string& body) {
        return "POST /cometd RTSP/1.1\r\n"
               "access-control-allow-origin: *\r\n"
               "connection: Keep-Alive\r\n"
               "connection: Keep-Alive\r\n"
               "content-length: " +
               std::to_string(body.size()) +
               "\r\n"
               "content-type: application/json;charset=UTF8\r\n"
               "\r\n" +
               body;
    };
    const std::string expected[] = {
        R"([{"channel":"/meta/handshake","id":")" + tag +
            R"(-1","minimumVersion":"0.9","supportedConnectionTypes":["long-polling","callback-polling"],"version":"1.0"}])"
            "\n",
        R"([{"channel":"/meta/subscribe","clientId":"c-7","id":")" + tag +
            R"(-2","subscription":"/velquin/settings"}])"
            "\n",
        R"([{"channel":"/meta/subscribe","clientId":"c-7","id":")" + tag +
            R"(-3","subscription":"/velquin/query"}])"
            "\n",
        R"([{"channel":"/meta/subscribe","clientId":"c-7","id":")" + tag +
            R"(-4","subscription":"/velquin/commands"}])"
            "\n",
        R"([{"channel":"/service/velquin/commands","clientId":"c-7","data":{"command":"update"},"id":")" +
            tag +
            R"(-5"}])"
            "\n",
        R"([{"channel":"/meta/unsubscribe","clientId":"c-7","id":")" + tag +
            R"(-6","subscription":"/velquin/settings"}])"
            "\n",
        R"([{"channel":"/meta/unsubscribe","clientId":"c-7","id":")" + tag +
            R"(-7","subscription":"/velquin/query"}])"
            "\n",
        R"([{"channel":"/meta/unsubscribe","clientId":"c-7","id":")" + tag +
            R"(-8","subscription":"/velquin/commands"}])"
            "\n",
        R"([{"channel":"/meta/disconnect","clientId":"c-7","connectionType":"callback-polling","id":")" +
            tag +
            R"(-9"}])"
            "\n",
    };
    for (std::size_t i = 0; i < 9; ++i)
        EXPECT_EQ(requests[i], wire(expected[i])) << "request " << i;
}

TEST(EndToEndTest, UnreachableDeviceReportsEachExchangeOnStandardErrorAndEndsWithTwo) {
    const vq_testing::refusing_port refusing;
    const std::string port = refusing.text();
    struct unreachable_case {
        std::vector<std::string> args;
        std::string out;
        int exchanges;
    } cases[] = {
        {{"-c"}, "null\n\n", 9},
        {{"-o", "-v", "reboot"}, "null\n\n", 9},
        {{"$.ios", "x", "1"}, "null\n\n", 9},
        {{"-o"}, "", 8},
    };
    for (const unreachable_case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args{publish_exe, "-H", "127.0.0.1", "-P", port};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const vq_testing::run_result r = vq_testing::run(args);
        EXPECT_EQ(r.status, 2) << describe(r);
        EXPECT_EQ(r.out, c.out);
        // Each exchange's report, then one line naming the device and the first failure.
        EXPECT_EQ(r.err, repeated("BOOST SYSTEM ERROR : Connection refused\n", c.exchanges) +
                             "velquin_publish: 127.0.0.1:" + port + ": Connection refused\n");
    }
}

// The report carries the system's own text for the resolver's error, which differs by
// platform: glibc's, or on Windows the message of error 11001 (the text of Wine, or of
// Windows itself). Without a name server the resolver may answer "try again" instead.
TEST(EndToEndTest, UnresolvableHostReportsTheSystemsTextForEachExchange) {
    const std::set<std::string> texts =
        vq_testing::is_windows_program(publish_exe)
            ? std::set<std::string>{"Host not found", "No such host is known.",
                                    "Host not found, or server failure"}
            : std::set<std::string>{"Host not found (authoritative)",
                                    "Host not found (non-authoritative), try again later"};
    const vq_testing::run_result r =
        vq_testing::run({publish_exe, "-H", "host.invalid", "-P", "80", "-o"});
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_EQ(r.out, "");
    std::istringstream lines(r.err);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        const std::string summary = "velquin_publish: host.invalid:80: ";
        if (count == 8) {
            // The run's summary names the device and repeats the first failure.
            ASSERT_EQ(line.compare(0, summary.size(), summary), 0) << r.err;
            EXPECT_EQ(texts.count(line.substr(summary.size())), 1u) << line;
            continue;
        }
        const std::string lead = "BOOST SYSTEM ERROR : ";
        ASSERT_EQ(line.compare(0, lead.size(), lead), 0) << r.err;
        EXPECT_EQ(texts.count(line.substr(lead.size())), 1u) << line;
    }
    EXPECT_EQ(count, 9) << r.err; // handshake, 3 subscriptions, 3 unsubscriptions, disconnect
}

TEST(EndToEndTest, ReconnectAdviceIsFollowed) {
    const std::vector<std::string> publish{"/service/velquin/commands"};
    const std::vector<std::string> retry{"/service/velquin/commands", "/meta/connect",
                                         "/service/velquin/commands"};
    struct advice_case {
        const char* advice;
        unsigned failures;
        std::vector<std::string> expected;
    } cases[] = {
        // A negative interval counts as no wait at all (this one would otherwise outlast the watchdog).
        {R"({"reconnect": "retry", "interval": -2000000000})", 1,
         sequence({joining, retry, leaving})},
        {R"({"reconnect": "retry", "interval": -5})", 1, sequence({joining, retry, leaving})},
        {R"({"reconnect": "retry"})", 3,
         sequence({joining,
                   retry,
                   {"/meta/connect", "/service/velquin/commands", "/meta/connect",
                    "/service/velquin/commands"},
                   leaving})},
        {R"({"reconnect": "handshake", "interval": 0})", 1,
         sequence({joining, publish, joining, publish, leaving})},
        {R"({"reconnect": "none", "interval": 0})", 1, sequence({joining, publish, leaving})},
        {R"({"interval": 0})", 1, sequence({joining, publish, leaving})},
        {R"({"reconnect": "Retry"})", 1, sequence({joining, publish, leaving})},
        {"{}", 1, sequence({joining, publish, leaving})},
    };
    for (const advice_case& c : cases) {
        SCOPED_TRACE(c.advice);
        simulator sim({"--fail-publishes", std::to_string(c.failures), "--advice", c.advice});
        const vq_testing::run_result r =
            sim.publish({"-o", "-v", "ping"}, std::chrono::seconds(30));
        ASSERT_EQ(r.status, 0) << describe(r);
        const std::vector<Json::Value> trace = sim.trace();
        expect_sequence(trace, c.expected);
        // Every repeat publishes the same data again, with a fresh id.
        for (const Json::Value& m : trace) {
            if (m["channel"] == Json::Value("/service/velquin/commands")) {
                EXPECT_EQ(m["data"], parse_json(R"({"command": "ping", "data": null})"));
            }
        }
        const Json::Value answer = parse_json(r.out);
        EXPECT_EQ(r.out, printed(answer));
        const bool repeated = c.expected.size() > 9;
        if (repeated) {
            // The last publish went through: the device's normal answer is printed.
            EXPECT_EQ(answer[0]["successful"], Json::Value(true)) << r.out;
        } else {
            // The refusal itself is printed, advice and all.
            ASSERT_EQ(answer.size(), 1u) << r.out;
            EXPECT_EQ(answer[0]["successful"], Json::Value(false));
            EXPECT_EQ(answer[0]["advice"], parse_json(c.advice));
        }
    }
}

TEST(EndToEndTest, HandshakeAdviceRenewsClientIdAndSubscriptions) {
    simulator sim(
        {"--fail-publishes", "1", "--advice", R"({"reconnect": "handshake", "interval": 0})"});
    const vq_testing::run_result r = sim.publish({"-c"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, printed(sample()));
    const std::vector<Json::Value> trace = sim.trace();
    ASSERT_EQ(trace.size(), 14u);
    const std::string first = trace[1]["clientId"].asString();
    const std::string second = trace[6]["clientId"].asString();
    EXPECT_NE(first, second);
    for (std::size_t i = 1; i <= 4; ++i)
        EXPECT_EQ(trace[i]["clientId"].asString(), first) << i;
    for (std::size_t i = 6; i < 14; ++i)
        EXPECT_EQ(trace[i]["clientId"].asString(), second) << i;
}

TEST(EndToEndTest, PositiveIntervalWaitsBeforeEachRepeat) {
    // Two refusals with 300 ms advice: the run cannot take less than 600 ms.
    simulator sim(
        {"--fail-publishes", "2", "--advice", R"({"reconnect": "retry", "interval": 300})"});
    const vq_testing::run_result r = sim.publish({"-c"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_GE(r.seconds, 0.6);
    EXPECT_EQ(sim.trace().size(), 13u);
    EXPECT_EQ(r.out, printed(sample()));
}

TEST(EndToEndTest, UnreadableAdviceEndsTheRunWithStatusOneAndNoOutput) {
    const char* const advices[] = {
        R"({"reconnect": "retry", "interval": "soon"})",
        R"({"reconnect": "retry", "interval": [1]})",
        R"({"reconnect": "retry", "interval": {"ms": 1}})",
        R"({"reconnect": "retry", "interval": 1e20})",
        R"({"reconnect": ["retry"], "interval": 0})",
        R"({"reconnect": {"how": "retry"}})",
        R"({"reconnect": "retry", "interval": true})",
        R"({"reconnect": 7, "interval": 0})",
    };
    for (const char* advice : advices) {
        SCOPED_TRACE(advice);
        simulator sim({"--fail-publishes", "1", "--advice", advice});
        const vq_testing::run_result r = sim.publish({"-c"});
        EXPECT_EQ(r.status, 1) << describe(r);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        // The exception left the action: nothing after the refused publish.
        expect_sequence(sim.trace(), sequence({joining, {"/service/velquin/commands"}}));
    }
}

TEST(EndToEndTest, HandshakeWithANonTextClientIdEndsTheRunWithStatusOneAndNothingPrinted) {
    // The exception leaves the client's construction; the I/O threads are stopped before the
    // half-made client closes its connection, so nothing reports that close.
    for (const char* id : {"42", "true", "[1]"}) {
        SCOPED_TRACE(id);
        simulator sim({"--raw-body",
                       std::string(R"([{"successful": true, "clientId": )") + id + "}]",
                       "--raw-channel", "/meta/handshake"});
        const vq_testing::run_result r = sim.publish({"-c"});
        EXPECT_EQ(r.status, 1) << describe(r);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(sim.trace().size(), 1u);
    }
}

TEST(EndToEndTest, SuccessIsJudgedByJsonTruth) {
    // The first publish is answered with the given "successful" and retry advice: a
    // publish judged unsuccessful follows the advice (11 messages), a successful one
    // does not (9).
    struct truth_case {
        const char* successful; // nullptr: the member is missing
        bool counts;
    } cases[] = {
        {"true", true},   {R"("false")", true}, {"1", true},     {"-1", true},
        {"0.5", true},    {R"("x")", true},     {"[0]", true},   {R"({"a": 0})", true},
        {"false", false}, {"0", false},         {"0.0", false},  {R"("")", false},
        {"[]", false},    {"{}", false},        {"null", false}, {nullptr, false},
    };
    for (const truth_case& c : cases) {
        SCOPED_TRACE(c.successful ? c.successful : "(missing)");
        const std::string body =
            std::string("[{") +
            (c.successful ? std::string("\"successful\": ") + c.successful + ", " : "") +
            R"("advice": {"reconnect": "retry", "interval": 0}}])";
        simulator sim(
            {"--raw-body", body, "--raw-channel", "/service/velquin/commands", "--raw-count", "1"});
        const vq_testing::run_result r =
            sim.publish({"-o", "-v", "ping"}, std::chrono::seconds(30));
        ASSERT_EQ(r.status, 0) << describe(r);
        EXPECT_EQ(sim.trace().size(), c.counts ? 9u : 11u);
        if (c.counts) {
            EXPECT_EQ(r.out, printed(parse_json(body)));
        }
    }
}

TEST(EndToEndTest, AnswersOfOtherShapesAreUnsuccessfulWithoutAdvice) {
    // None of these may be taken as advice to repeat, and none may crash the program. An
    // array is an answer whatever its elements; anything else is no answer at all.
    struct shape_case {
        const char* body;
        bool answer;
    } cases[] = {
        {R"([{"successful": false, "advice": {"reconnect": "retry", "interval": 0}}, 5])", true},
        {R"(["advice", {"reconnect": "retry"}, null])", true},
        {R"({"successful": true, "advice": {"reconnect": "retry", "interval": 0}})", false},
        {R"(7)", false},
    };
    for (const shape_case& c : cases) {
        SCOPED_TRACE(c.body);
        simulator sim({"--raw-body", c.body, "--raw-channel", "/service/velquin/commands"});
        const vq_testing::run_result r =
            sim.publish({"-o", "-v", "ping"}, std::chrono::seconds(30));
        EXPECT_EQ(sim.trace().size(), 9u);
        if (c.answer) {
            ASSERT_EQ(r.status, 0) << describe(r);
            EXPECT_EQ(r.out, printed(parse_json(c.body)));
        } else {
            ASSERT_EQ(r.status, 2) << describe(r);
            EXPECT_EQ(r.out, "null\n\n");
            EXPECT_EQ(r.err, "velquin_publish: 127.0.0.1:" + sim.port() +
                                 ": answered something other than a JSON array of Bayeux "
                                 "messages on /cometd\n");
        }
    }
}

TEST(EndToEndTest, HandshakeWithoutClientIdLeavesItEmpty) {
    // The first handshake "succeeds" without a client id; later messages carry "" until
    // the device's 402 answer to the publish makes the client hand-shake again.
    simulator sim({"--raw-body", R"([{"successful": true}])", "--raw-channel", "/meta/handshake",
                   "--raw-count", "1"});
    const vq_testing::run_result r = sim.publish({"-c"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, printed(sample()));
    const std::vector<Json::Value> trace = sim.trace();
    expect_sequence(trace, sequence({joining,
                                     {"/service/velquin/commands"},
                                     joining,
                                     {"/service/velquin/commands"},
                                     leaving}));
    ASSERT_EQ(trace.size(), 14u);
    for (std::size_t i = 1; i <= 4; ++i)
        EXPECT_EQ(trace[i]["clientId"], Json::Value("")) << i;
    EXPECT_NE(trace[6]["clientId"], Json::Value(""));
}

TEST(EndToEndTest, ConfigurationIsPickedOutOfTheAnswer) {
    struct pick_case {
        const char* answer;
        const char* printed; // nullptr: the whole answer, unchanged
    } cases[] = {
        {R"([{"successful": true}, {"channel": "/elsewhere", "data": {"path": "$", "value": {"ios": 1, "sessions": 2, "more": [3]}}}])",
         R"({"ios": 1, "sessions": 2, "more": [3]})"},
        {R"([{"data": {"path": "$", "value": {"ios": 1}}}, {"data": {"path": "$", "value": {"ios": 2, "sessions": 3}}}])",
         R"({"ios": 2, "sessions": 3})"},
        {R"([1, "x", null, [], {"data": "text"}, {"data": null}, {"data": {"path": "$", "value": {"ios": 0, "sessions": 0}}}])",
         R"({"ios": 0, "sessions": 0})"},
        {R"([{"data": {"path": "$", "value": {"ios": 1, "sessions": 2}}}, {"data": {"path": "$", "value": {"ios": 9, "sessions": 9}}}])",
         R"({"ios": 1, "sessions": 2})"},
        {R"([{"data": {"path": 5, "value": {"ios": 1, "sessions": 2}}}])", nullptr},
        {R"([{"data": {"path": "$.ios", "value": {"ios": 1, "sessions": 2}}}])", nullptr},
        {R"([{"data": {"path": "$", "value": [{"ios": 1, "sessions": 2}]}}])", nullptr},
        {R"([{"data": {"path": "$", "value": {"ios": 1, "Sessions": 2}}}])", nullptr},
        {R"([{"successful": true}, {"channel": "/velquin/settings"}, {"data": {}}])", nullptr},
        {"[]", nullptr},
    };
    for (const pick_case& c : cases) {
        SCOPED_TRACE(c.answer);
        simulator sim({"--raw-body", c.answer, "--raw-channel", "/service/velquin/commands"});
        const vq_testing::run_result r = sim.publish({"-c"});
        ASSERT_EQ(r.status, 0) << describe(r);
        EXPECT_EQ(r.out, printed(parse_json(c.printed ? c.printed : c.answer)));
    }
}

TEST(EndToEndTest, SettingsChangeWhatTheNextRunPrints) {
    simulator sim;
    vq_testing::run_result r =
        sim.publish({"-p", "$.sessions.sources[?(@.id==1)][0]", "-k", "name", "-v", "Main Stage"});
    ASSERT_EQ(r.status, 0) << describe(r);
    r = sim.publish({"-p", "$._modules[?(@.id==254)][0]", "-k", "outputs_1to8", "-v", "110"});
    ASSERT_EQ(r.status, 0) << describe(r);
    r = sim.publish({"-p", "$.actions.create_connections", "-jv", "[]", "-k", "", "-v", ""});
    ASSERT_EQ(r.status, 0) << describe(
        r); // an empty -jv counts as not given: the value null replaces

    // A path that matches nothing is refused and printed as refused.
    r = sim.publish({"-p", "$.sessions.sources[?(@.id==99)][0]", "-k", "name", "-v", "nobody"});
    ASSERT_EQ(r.status, 0) << describe(r);
    const Json::Value refusal = parse_json(r.out);
    EXPECT_EQ(refusal[0]["successful"], Json::Value(false));
    EXPECT_TRUE(refusal[0]["error"].isString());

    Json::Value expected = sample();
    expected["sessions"]["sources"][0]["name"] = "Main Stage";
    expected["_modules"][3]["outputs_1to8"] = 110;
    expected["actions"]["create_connections"] = Json::Value();
    r = sim.publish({"-c"});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, printed(expected));
}

TEST(EndToEndTest, ConnectionClosedWhileWaitingGivesNullAndTheRunGoesOn) {
    // The device drops the connection instead of answering the publish; the client
    // connects again for the messages that follow. The library's log lines about it go to
    // standard error.
    simulator sim({"--close-after", "4"});
    const vq_testing::run_result r = sim.publish({"-c"});
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_EQ(r.out, "null\n\n");
    EXPECT_NE(r.err.find("In connection, line "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("BOOST SYSTEM ERROR"), std::string::npos) << r.err;
    expect_sequence(sim.trace(), sequence({joining, {"/service/velquin/commands"}, leaving}));
}

TEST(EndToEndTest, FailuresAfterTheAnswerLeaveStandardOutputTheConfigurationAlone) {
    // "-c > hostconfig.txt" with an unsubscribe that fails after the configuration came.
    simulator sim({"--close-after", "5"});
    const vq_testing::run_result r = sim.publish({"-c"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, printed(sample()));
    EXPECT_NE(r.err.find("In connection, line "), std::string::npos) << r.err;
}

TEST(EndToEndTest, RepliesThatEndTheConnectionLoseNoMessage) {
    // Each reply closes the connection; the next exchange must connect again instead of
    // writing into the closed one. A few rounds, as a lost request depends on timing.
    for (const char* mode : {"--close-each", "--http-1.0"}) {
        SCOPED_TRACE(mode);
        simulator sim({mode});
        for (int round = 0; round < 3; ++round) {
            const vq_testing::run_result r = sim.publish({"-o", "-v", "ping"});
            ASSERT_EQ(r.status, 0) << describe(r);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(parse_json(r.out)[0]["successful"], Json::Value(true)) << r.out;
        }
        const std::vector<Json::Value> trace = sim.trace();
        ASSERT_EQ(trace.size(), 27u);
        expect_sequence(std::vector<Json::Value>(trace.begin(), trace.begin() + 9),
                        sequence({joining, {"/service/velquin/commands"}, leaving}));
    }
}

TEST(EndToEndTest, SilentDeviceStopsTheRunAtItsDeadline) {
    // The whole run may take 1 s: the exchange the device leaves waiting ends there, and the
    // run stops with one line. An answer printed before stands.
    struct silent_case {
        const char* answered; // requests answered before the device falls silent
        std::vector<std::string> args;
        std::size_t reached; // messages the device received
        int status;
        bool printed_configuration;
    } cases[] = {
        {"0", {"-c"}, 1, 2, false},
        {"0", {"-o"}, 1, 2, false},
        {"4", {"-c"}, 5, 2, false},
        {"5", {"-c"}, 6, 0, true}, // only the first unsubscribe is late
    };
    for (const silent_case& c : cases) {
        SCOPED_TRACE(std::string(c.answered) + " " + c.args[0]);
        simulator sim({"--silent-after", c.answered});
        std::vector<std::string> args{"--max-time", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const vq_testing::run_result r = sim.publish(args);
        std::cout << "silent after " << c.answered << ", " << c.args[0] << ": " << r.seconds
                  << " s\n";
        EXPECT_EQ(r.status, c.status) << describe(r);
        EXPECT_EQ(r.err,
                  timed_out + "velquin_publish: 127.0.0.1:" + sim.port() +
                      (c.printed_configuration
                           ? ": stopped after the answer: the run's 1 s (--max-time) ran out\n"
                           : ": no usable answer within 1 s (--max-time)\n"));
        EXPECT_EQ(r.out, c.printed_configuration ? printed(sample()) : "");
        EXPECT_EQ(sim.trace().size(), c.reached);
        EXPECT_GE(r.seconds, 1.0);
    }
}

TEST(EndToEndTest, ConnectionThatNeverCompletesCostsOneTimeOut) {
    full_listener listener;
    if (!listener.full())
        GTEST_SKIP() << "this kernel completes connections beyond the accept queue";
    const vq_testing::run_result r = vq_testing::run(
        {publish_exe, "--connect-timeout", "0.3", "-H", "127.0.0.1", "-P", listener.port(), "-c"});
    std::cout << "never completing connection: " << r.seconds << " s\n";
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_EQ(r.out, "null\n\n");
    EXPECT_EQ(r.err, repeated(timed_out, 9) + "velquin_publish: 127.0.0.1:" + listener.port() +
                         ": " + timed_out.substr(21));
    EXPECT_GE(r.seconds, 0.3);
}

TEST(EndToEndTest, CommandLinesThatEndBeforeConnecting) {
    simulator sim;
    // Learn the examples' address and host name from one usage text, then hold every
    // usage text to the whole expected text.
    const vq_testing::run_result first = vq_testing::run({publish_exe, "-c"});
    std::smatch address, host;
    ASSERT_TRUE(std::regex_search(
        first.out, address,
        std::regex("\nvelquin_publish -H ([0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+) -P 8081 -c > ")))
        << first.out;
    ASSERT_TRUE(std::regex_search(
        first.out, host, std::regex("\nvelquin_publish -H ([^ ]+) -P 80 -o -v gpio_read_iic ")))
        << first.out;
    const std::string usage = expected_usage(address[1], host[1]);
    EXPECT_EQ(first.out, usage);
    struct scan_case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"-H", "127.0.0.1", "-c"}, 1},
        {{"-c", "-o"}, 1},
        {{"-P", sim.port(), "-c", "-h"}, 1},
        {{"-P", sim.port(), "-c", "-5"}, 1},
        {{"-P", sim.port(), "-c", "a", "b", "c", "d"}, 1},
        {{"-P", sim.port(), "-c", "-v"}, 1},
        {{"-H", "", "-P", sim.port(), "-c"}, 1},
        {{"-P", sim.port(), "-c", "-jv", "{bad"}, 255},
        {{"-P", sim.port(), "-c", "-jv", "{bad", "--bogus"}, 255},
    };
    for (const scan_case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        std::vector<std::string> argv{publish_exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const vq_testing::run_result r = vq_testing::run(argv);
        EXPECT_EQ(r.status, c.status) << describe(r);
        if (c.status == 255) {
            EXPECT_EQ(r.out, "Failed to parse json value\n");
        } else {
            EXPECT_EQ(r.out, usage);
        }
    }
    EXPECT_TRUE(sim.trace().empty()) << "no command line above may reach the device";

    // The shortest command line that runs: -P port -c, against "localhost".
    const vq_testing::run_result r = vq_testing::run({publish_exe, "-P", sim.port(), "-c"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(
        r.out.substr(r.out.size() - std::min<std::size_t>(r.out.size(), printed(sample()).size())),
        printed(sample()));
}

TEST(EndToEndTest, JsonValueFromAFileOrStandardInputAndChangesWithNowhereToGo) {
    simulator sim;
    vq_testing::temp_dir dir;
    const auto last_setting = [&sim] {
        Json::Value found;
        for (const Json::Value& m : sim.trace())
            if (m["channel"] == Json::Value("/service/velquin/settings"))
                found = m["data"]["value"];
        return found;
    };
    // A saved configuration's part, restored from a file and from standard input.
    std::ofstream(dir.file("sources.json")) << R"([{"id": 1, "name": "From file"}])";
    vq_testing::run_result r =
        sim.publish({"-p", "$.sessions.sources", "-jv", "@" + dir.file("sources.json")});
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(last_setting(), parse_json(R"([{"id": 1, "name": "From file"}])"));

    vq_testing::child_process piped(
        {publish_exe, "-H", "127.0.0.1", "-P", sim.port(), "-p", "$.sessions.sources", "-jv", "@-"},
        {"", vq_testing::error_output::separate, true});
    piped.write_line(R"([{"id": 2, "name": "From stdin"}])");
    piped.close_stdin();
    EXPECT_EQ(piped.wait(std::chrono::seconds(60)), 0) << piped.error();
    EXPECT_EQ(last_setting(), parse_json(R"([{"id": 2, "name": "From stdin"}])"));

    // -k and -v without -p or -o: the run joins and leaves, sends no change, and says so.
    const std::size_t before = sim.trace().size();
    r = sim.publish({"-k", "name", "-v", "x"});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "velquin_publish: warning: -k, -v or -jv without -p or -o: nothing is sent\n");
    EXPECT_EQ(sim.trace().size() - before, 8u);
}

TEST(EndToEndTest, SeveralClientsAtOnce) {
    simulator sim;
    const std::size_t clients = 4;
    std::vector<vq_testing::run_result> results(clients);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < clients; ++i) {
        threads.emplace_back([&sim, &results, i] { results[i] = sim.publish({"-c"}); });
    }
    for (std::thread& t : threads)
        t.join();
    for (const vq_testing::run_result& r : results) {
        EXPECT_EQ(r.status, 0) << describe(r);
        EXPECT_EQ(r.out, printed(sample()));
    }
    std::map<std::string, int> per_client;
    const std::vector<Json::Value> trace = sim.trace();
    EXPECT_EQ(trace.size(), 36u);
    for (const Json::Value& m : trace) {
        if (m.isMember("clientId"))
            ++per_client[m["clientId"].asString()];
    }
    EXPECT_EQ(per_client.size(), static_cast<std::size_t>(clients));
    for (const auto& entry : per_client)
        EXPECT_EQ(entry.second, 8) << entry.first;
}

} // namespace

namespace {

TEST(DeviceSimProgramTest, OptionsAreCheckedBeforeListening) {
    vq_testing::temp_dir dir;
    const std::string not_object = dir.file("array.json"), not_json = dir.file("bad.json");
    std::ofstream(not_object) << "[1, 2]";
    std::ofstream(not_json) << "{\"ios\": ";
    struct option_case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{"--help"}, 0},
        {{"--port", "70000"}, 2},
        {{"--port", "-1"}, 2},
        {{"--port", "80x"}, 2},
        {{"--fail-publishes", "many"}, 2},
        {{"--advice", "{not json"}, 2},
        {{"--bogus", "1"}, 2},
        {{"--trace"}, 2},
        {{"--config", dir.file("missing.json")}, 1},
        {{"--config", not_object}, 1},
        {{"--config", not_json}, 1},
        {{"--address", "not-an-address"}, 1},
    };
    for (const option_case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        std::vector<std::string> argv{sim_exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const vq_testing::run_result r = vq_testing::run(argv, std::chrono::seconds(20));
        EXPECT_EQ(r.status, c.status) << describe(r);
        if (c.status == 0) {
            // Asked for, the usage goes to standard output.
            EXPECT_EQ(r.out.rfind("usage: velquin_device_sim", 0), 0u) << describe(r);
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.out, "") << "nothing on standard output: its first line is the port";
            EXPECT_NE(r.err, "");
        }
    }
}

TEST(DeviceSimProgramTest, StartsFromTheGivenConfiguration) {
    vq_testing::temp_dir dir;
    const char* const config =
        R"({"ios": {"inputs": []}, "sessions": {"sources": [{"id": 1, "name": "Only"}]}})";
    std::ofstream(dir.file("config.json")) << config;
    simulator sim({"--config", dir.file("config.json")});
    vq_testing::run_result r =
        sim.publish({"$.sessions.sources[?(@.id==1)][0]", "name", "Renamed"});
    ASSERT_EQ(r.status, 0) << describe(r);
    r = sim.publish({"-c"});
    ASSERT_EQ(r.status, 0) << describe(r);
    Json::Value expected = parse_json(config);
    expected["sessions"]["sources"][0]["name"] = "Renamed";
    EXPECT_EQ(r.out, printed(expected));
}

} // namespace
