// velquin_publish as a real process against a scripted device that misbehaves in one way
// per case: whatever the device does, the run ends in bounded time, prints no escape
// sequence and no other exchange's answer, and says "no answer" (status 2) when none came.
#include "tests/publish/hostile_peer.hpp"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

typedef e2e::hostile_peer::answer answer;

const std::string publish_exe = vq_testing::publish_program(VQ_PUBLISH_EXE);

std::string channel_of(const std::string& request) {
    static const std::regex channel("\"channel\":\"([^\"]*)\"");
    std::smatch m;
    return std::regex_search(request, m, channel) ? m[1].str() : "";
}

bool is_update(const std::string& request) {
    return channel_of(request) == "/service/velquin/commands";
}

const char* const config = R"({"ios":{"name":"a\u001b]0;x\u0007"},"sessions":[]})";

// What a sound device answers: an acknowledgement with the message's id and, for the
// configuration request, the configuration.
std::string sound_body(const std::string& request, const std::string& id) {
    std::string body = R"([{"channel":")" + channel_of(request) + R"(","id":")" + id +
                       R"(","clientId":"c-1","successful":true})";
    if (is_update(request))
        body += std::string(R"(,{"channel":"/velquin/settings","data":{"path":"$","value":)") +
                config + "}}";
    return body + "]";
}

answer sound(const std::string& request, const std::string& id) {
    return {e2e::hostile_peer::reply("200 OK", sound_body(request, id)), "", false};
}

// Misbehaves on the configuration request only.
e2e::hostile_peer::script on_update(std::function<answer(const std::string&)> hostile) {
    return [hostile](std::size_t, const std::string& request, const std::string& id) {
        return is_update(request) ? hostile(id) : sound(request, id);
    };
}

// Misbehaves on every request.
e2e::hostile_peer::script
always(std::function<answer(const std::string&, const std::string&)> hostile) {
    return [hostile](std::size_t, const std::string& request, const std::string& id) {
        return hostile(request, id);
    };
}

const std::string printed_config =
    "{\n   \"ios\" : {\n      \"name\" : \"a\\u001b]0;x\\u0007\"\n   },\n"
    "   \"sessions\" : []\n}\n\n";

TEST(PublishHostileDeviceTest, EveryAttackEndsBoundedWithoutInjectedOutput) {
    const std::string zeros = [] {
        std::string text;
        for (int i = 0; i < 4096; ++i)
            text += "0,";
        return text;
    }();
    struct attack {
        const char* name;
        e2e::hostile_peer::script script;
        std::vector<std::string> extra; // options before -c
        int status;
        std::string out;     // exactly, unless empty and status 0
        std::string failure; // the end of the summary line; empty: no line
    } attacks[] = {
        {"sound device",
         on_update([](const std::string& id) {
             return answer{
                 e2e::hostile_peer::reply(
                     "200 OK", sound_body("\"channel\":\"/service/velquin/commands\"", id)),
                 "", false};
         }),
         {},
         0,
         printed_config,
         ""},
        {"reply body far past the cap",
         always([&](const std::string&, const std::string&) {
             return answer{"HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\n[", zeros, false};
         }),
         {},
         2,
         "null\n\n",
         "the connection closed without a usable reply"},
        {"endless chunked reply",
         always([&](const std::string&, const std::string&) {
             return answer{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\n[\r\n",
                           "2000\r\n" + zeros + "\r\n", false};
         }),
         {},
         2,
         "null\n\n",
         "the connection closed without a usable reply"},
        {"nesting past 32 levels",
         on_update([](const std::string&) {
             return answer{e2e::hostile_peer::reply("200 OK", std::string(990, '[') + "0" +
                                                                  std::string(990, ']')),
                           "", false};
         }),
         {},
         2,
         "null\n\n",
         "answered JSON nested deeper than 32 levels on /cometd"},
        {"more than 100000 values",
         on_update([&](const std::string&) {
             std::string body = "[";
             for (int i = 0; i < 30; ++i)
                 body += zeros;
             return answer{e2e::hostile_peer::reply("200 OK", body + "0]"), "", false};
         }),
         {},
         2,
         "null\n\n",
         "answered JSON of more than 100000 values on /cometd"},
        {"comment holding escapes",
         on_update([](const std::string& id) {
             return answer{
                 e2e::hostile_peer::reply(
                     "200 OK", "/* \x1b]0;pwned\x07 */" +
                                   sound_body("\"channel\":\"/service/velquin/commands\"", id)),
                 "", false};
         }),
         {},
         2,
         "null\n\n",
         "answered something other than a JSON array of Bayeux messages on /cometd"},
        {"another exchange's id",
         on_update([](const std::string&) {
             return answer{
                 e2e::hostile_peer::reply(
                     "200 OK", sound_body("\"channel\":\"/service/velquin/commands\"", "x-1")),
                 "", false};
         }),
         {},
         2,
         "null\n\n",
         "answered another exchange's messages on /cometd"},
        {"interim reply first",
         always([](const std::string& request, const std::string& id) {
             return answer{"HTTP/1.1 100 Continue\r\n\r\n" +
                               e2e::hostile_peer::reply("200 OK", sound_body(request, id)),
                           "", false};
         }),
         {},
         0,
         printed_config,
         ""},
        {"interim reply first, no ids",
         always([](const std::string& request, const std::string&) {
             // The interim reply is skipped, so the final one belongs to this exchange even without ids.
             return answer{"HTTP/1.1 100 Continue\r\n\r\n" +
                               e2e::hostile_peer::reply(
                                   "200 OK", std::regex_replace(sound_body(request, "x"),
                                                                std::regex(R"("id":"x",)"), "")),
                           "", false};
         }),
         {},
         0,
         printed_config,
         ""},
        {"bodiless reply now, the answer with the next, no ids",
         always([](const std::string& request, const std::string&) {
             // The late answer would be taken by the next exchange, had the connection stayed open.
             answer a{e2e::hostile_peer::reply("204 No Content", ""), "", false};
             a.later = e2e::hostile_peer::reply(
                 "200 OK",
                 std::regex_replace(sound_body(request, "x"), std::regex(R"("id":"x",)"), ""));
             return a;
         }),
         {},
         2,
         "null\n\n",
         "answered HTTP 204 without a body on /cometd"},
        {"reply just past the 4 MiB cap",
         on_update([](const std::string& id) {
             const std::string body = R"([{"id":")" + id + R"(","successful":true,"data":")" +
                                      std::string((4 << 20) - 40, 'x') + "\"}]";
             return answer{e2e::hostile_peer::reply("200 OK", body), "", false};
         }),
         {},
         2,
         "null\n\n",
         "the connection closed without a usable reply"},
        {"reply just under the 4 MiB cap",
         on_update([](const std::string& id) {
             const std::string body = R"([{"id":")" + id + R"(","successful":true,"data":")" +
                                      std::string((4 << 20) - 80, 'x') + "\"}]";
             return answer{e2e::hostile_peer::reply("200 OK", body), "", false};
         }),
         {},
         0,
         "",
         ""},
        {"bodiless reply first",
         always([](const std::string& request, const std::string& id) {
             return answer{e2e::hostile_peer::reply("204 No Content", "") +
                               e2e::hostile_peer::reply("200 OK", sound_body(request, id)),
                           "", false};
         }),
         {},
         2,
         "null\n\n",
         "answered HTTP 204 without a body on /cometd"},
        {"a reset instead of a reply",
         on_update([](const std::string&) {
             answer a;
             a.reset = true;
             return a;
         }),
         {},
         2,
         "null\n\n",
         "the connection closed without a usable reply"},
        {"garbage instead of a reply",
         on_update([](const std::string&) {
             return answer{"\x16\x03\x01 not http at all\r\n\r\n", "", false};
         }),
         {},
         2,
         "null\n\n",
         ""},
        {"a request with a body past the cap instead of a reply",
         on_update([&](const std::string&) {
             return answer{"POST /x HTTP/1.1\r\nContent-Length: 2147483647\r\n\r\n", zeros, false};
         }),
         {},
         2,
         "null\n\n",
         ""},
        {"another web service",
         always([](const std::string&, const std::string&) {
             return answer{e2e::hostile_peer::reply("404 Not Found",
                                                    "<html><body>\x1b[31mNot here</body></html>",
                                                    "text/html"),
                           "", false};
         }),
         {},
         2,
         "null\n\n",
         "answered HTTP 404 on /cometd"},
        {"advice for ever",
         on_update([](const std::string& id) {
             return answer{
                 e2e::hostile_peer::reply(
                     "200 OK",
                     R"([{"id":")" + id +
                         R"(","successful":false,"advice":{"reconnect":"retry","interval":0}}])"),
                 "", false};
         }),
         {},
         0,
         "",
         ""},
        {"advice to wait 24 days",
         on_update([](const std::string& id) {
             return answer{
                 e2e::hostile_peer::reply(
                     "200 OK",
                     R"([{"id":")" + id +
                         R"(","successful":false,"advice":{"reconnect":"retry","interval":2147483647}}])"),
                 "", false};
         }),
         {"--max-time", "1.5"},
         2,
         "",
         "no usable answer within 1.5 s (--max-time)"},
    };
    for (const attack& a : attacks) {
        SCOPED_TRACE(a.name);
        e2e::hostile_peer device(a.script);
        std::vector<std::string> argv{publish_exe};
        argv.insert(argv.end(), a.extra.begin(), a.extra.end());
        for (const char* word : {"-H", "127.0.0.1", "-P"})
            argv.push_back(word);
        argv.push_back(device.port());
        argv.push_back("-c");
        const vq_testing::run_result r = vq_testing::run(argv, std::chrono::seconds(60));
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, a.status) << r.err;
        if (!a.out.empty() || a.status != 0) {
            EXPECT_EQ(r.out, a.out);
        }
        EXPECT_EQ(r.out.find_first_of("\x1b\x07"), std::string::npos);
        const std::string summary =
            a.failure.empty()
                ? ""
                : "velquin_publish: 127.0.0.1:" + device.port() + ": " + a.failure + "\n";
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), summary.size())), summary)
            << r.err;
        if (std::string(a.name) == "advice for ever") {
            // The refusal is the answer; the publish went out once and was repeated 5 times.
            EXPECT_NE(r.out.find("\"successful\" : false"), std::string::npos) << r.out;
            std::size_t publishes = 0;
            for (const std::string& request : device.requests())
                publishes += is_update(request) ? 1u : 0u;
            EXPECT_EQ(publishes, 6u);
        }
    }
}

TEST(PublishHostileDeviceTest, ARequestPastTheCapBeforeAnyReplyIsNoAnswer) {
    // The connection fails under the client's first request, which is not yet written or
    // not yet answered: every exchange fails as with a dead device, none ends the run.
    for (int round = 0; round < 5; ++round) {
        e2e::hostile_peer device(
            always([](const std::string&, const std::string&) { return answer(); }),
            "POST /x HTTP/1.1\r\nContent-Length: 2147483647\r\n\r\n" + std::string(5 << 20, '0'));
        const vq_testing::run_result r =
            vq_testing::run({publish_exe, "-H", "127.0.0.1", "-P", device.port(), "-c"});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.out, "null\n\n");
    }
}

TEST(PublishHostileDeviceTest, DoubledRepliesNeverGiveAnotherExchangesAnswer) {
    // Every request is answered twice: the spare reply reaches the next exchange, whose id it
    // does not carry. The configuration is printed or nothing is; never a subscription's answer.
    for (int round = 0; round < 3; ++round) {
        e2e::hostile_peer device(always([](const std::string& request, const std::string& id) {
            const std::string one = e2e::hostile_peer::reply("200 OK", sound_body(request, id));
            return answer{one + one, "", false};
        }));
        const vq_testing::run_result r =
            vq_testing::run({publish_exe, "-H", "127.0.0.1", "-P", device.port(), "-c"});
        if (r.status == 0) {
            EXPECT_EQ(r.out, printed_config);
        } else {
            EXPECT_EQ(r.status, 2) << r.err;
            EXPECT_EQ(r.out, "null\n\n");
        }
    }
}

} // namespace
