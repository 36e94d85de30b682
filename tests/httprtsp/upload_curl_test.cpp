// curl uploads files to httprtsp_serve: the stored file is byte-identical, the reply carries
// its size and SHA-256, and progress climbs strictly to 100 "Firmware upload Done"; an upload
// begun while another is answered never changes that answer; the size limit and the other
// options of httprtsp_serve.
#include "tests/support/child_process.h"
#include "tests/support/httprtsp_support.hpp"
#include "tools/httprtsp_serve/sha256.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

namespace {

// One exchange on a fresh loopback connection: sends the bytes and reads until a whole reply
// (head and Content-Length body) has come, or with `closed` until the server closes, which it
// then tells. Every wait is bounded.
std::string converse(const std::string& port, const std::string& bytes, bool* closed = nullptr) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval limit{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                break; // refused half-way: its answer may still be there to read
            at += static_cast<std::size_t>(n);
        }
        char buffer[65536];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            const std::size_t head_end = out.find("\r\n\r\n");
            const std::size_t length = out.find("content-length: ");
            if (!closed && head_end != std::string::npos && length != std::string::npos &&
                out.size() >= head_end + 4 + std::stoul(out.substr(length + 16)))
                break;
        }
        if (closed)
            *closed = n == 0;
    }
    ::close(fd);
    return out;
}

std::string body_of(const std::string& reply) {
    const std::size_t head_end = reply.find("\r\n\r\n");
    return head_end == std::string::npos ? std::string() : reply.substr(head_end + 4);
}

std::string multipart_upload(const std::string& content) {
    const std::string body = "--bNDRY-r4c3\r\nContent-Disposition: form-data; name=\"f\"; "
                             "filename=\"f\"\r\n\r\n" +
                             content + "\r\n--bNDRY-r4c3--\r\n";
    return "POST /upload HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
           "boundary=bNDRY-r4c3\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string sha256_of(const std::string& bytes) {
    httprtsp_serve::sha256 h;
    h.update(bytes.data(), bytes.size());
    return h.hex_digest();
}

// "upload progress" lines of the server's output from offset on.
std::vector<std::string> progress_lines(const std::string& output, std::size_t offset) {
    std::vector<std::string> out;
    std::istringstream in(output.substr(offset));
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 16, "upload progress ") == 0 ||
            line.compare(0, 14, "upload failed ") == 0)
            out.push_back(line);
    return out;
}

::testing::AssertionResult climbs_to_done(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines)
        all += "[" + l + "]";
    if (lines.size() < 2 || lines.front() != "upload progress 0 Upload Firmware..." ||
        lines.back() != "upload progress 100 Firmware upload Done")
        return ::testing::AssertionFailure() << all;
    int last = -1;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        int percent = -1;
        if (std::sscanf(lines[i].c_str(), "upload progress %d Upload Firmware...", &percent) != 1 ||
            percent <= last || percent >= 100)
            return ::testing::AssertionFailure() << all;
        last = percent;
    }
    return ::testing::AssertionSuccess();
}

class UploadCurlTest : public ::testing::Test {
protected:
    void SetUp() override {
        VQ_REQUIRE_PEER("curl");
        server.reset(new vq_testing::child_process(
            {HTTPRTSP_SERVE, "--upload-file", dir.file("stored.bin")}));
        ASSERT_TRUE(server->read_line(port));
        url = "http://127.0.0.1:" + port + "/upload";
    }
    void TearDown() override {
        if (server)
            server->stop();
    }

    // curl's standard output; its exit status goes to `status`.
    static std::string curl(const std::vector<std::string>& args, int* status = nullptr) {
        std::vector<std::string> argv{"curl"};
        argv.insert(argv.end(), args.begin(), args.end());
        const vq_testing::run_result r = vq_testing::run(argv);
        if (status)
            *status = r.status;
        return r.out;
    }

    conn_test::temp_dir dir;
    std::unique_ptr<vq_testing::child_process> server;
    std::string port, url;
};

TEST_F(UploadCurlTest, FilesArriveByteIdenticalWithQuotedAndUnquotedBoundaries) {
    const struct {
        std::size_t size;
        bool quoted;
    } cases[] = {
        {0, false}, {1, false}, {100 * 1024, false}, {20 * 1024 * 1024, false},
        {0, true},  {1, true},  {100 * 1024, true},
    };
    unsigned seed = 11;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.quoted ? " quoted" : " unquoted"));
        const std::string content = conn_test::tricky_bytes(c.size, ++seed);
        conn_test::write_file(dir.file("input.bin"), content);
        const std::size_t offset = server->output().size();
        std::vector<std::string> args;
        if (!c.quoted) {
            // curl picks the boundary and sends it unquoted.
            args = {"-s", "-S", "-F", "file=@" + dir.file("input.bin"), url};
        } else {
            const std::string boundary = "----quoted-9f8e7d6c";
            conn_test::write_file(dir.file("body.bin"),
                                  "--" + boundary +
                                      "\r\nContent-Disposition: form-data; name=\"file\"; "
                                      "filename=\"input.bin\"\r\n\r\n" +
                                      content + "\r\n--" + boundary + "--\r\n");
            args = {"-s",
                    "-S",
                    "-H",
                    "Expect:",
                    "-H",
                    "Content-Type: multipart/form-data; boundary=\"" + boundary + "\"",
                    "--data-binary",
                    "@" + dir.file("body.bin"),
                    url};
        }
        int status = -1;
        const std::string answer = curl(args, &status);
        EXPECT_EQ(0, status);
        EXPECT_EQ(std::to_string(c.size) + " " + sha256_of(content) + "\n", answer);
        EXPECT_TRUE(content == conn_test::read_file(dir.file("stored.bin")));
        ASSERT_TRUE(conn_test::wait_for([&] {
            const std::vector<std::string> lines = progress_lines(server->output(), offset);
            return !lines.empty() && lines.back() == "upload progress 100 Firmware upload Done";
        }));
        EXPECT_TRUE(climbs_to_done(progress_lines(server->output(), offset)));
    }
}

// One keep-alive connection: a large upload, a small one and an echo. Each request starts
// wherever the reads of the one before left off.
TEST_F(UploadCurlTest, UploadsAndAnEchoFollowEachOtherOnOneConnection) {
    const std::string big = conn_test::tricky_bytes(3 * 1024 * 1024 + 17, 5);
    const std::string small = conn_test::tricky_bytes(300, 6);
    conn_test::write_file(dir.file("big.bin"), big);
    conn_test::write_file(dir.file("small.bin"), small);
    int status = -1;
    const std::string answer =
        curl({"-s", "-S", "-H", "Expect:", "-F", "file=@" + dir.file("big.bin"), url, "--next",
              "-H", "Expect:", "-F", "file=@" + dir.file("small.bin"), url, "--next",
              "--data-binary", "ping", "http://127.0.0.1:" + port + "/echo"},
             &status);
    EXPECT_EQ(0, status);
    EXPECT_EQ(std::to_string(big.size()) + " " + sha256_of(big) + "\n" +
                  std::to_string(small.size()) + " " + sha256_of(small) + "\nping",
              answer);
    EXPECT_TRUE(small == conn_test::read_file(dir.file("stored.bin")));
}

TEST_F(UploadCurlTest, EchoAndUnknownRoutes) {
    int status = -1;
    EXPECT_EQ(
        "ping",
        curl({"-s", "-S", "--data-binary", "ping", "http://127.0.0.1:" + port + "/echo"}, &status));
    EXPECT_EQ(0, status);
    EXPECT_EQ("404", curl({"-s", "-o", "/dev/null", "-w", "%{http_code}",
                           "http://127.0.0.1:" + port + "/none"}));
    // A POST to the upload URI that is not multipart is refused, not stored.
    EXPECT_EQ("400",
              curl({"-s", "-o", "/dev/null", "-w", "%{http_code}", "--data-binary", "x", url}));
}

// Upload B begins the moment A's file is complete, and again after every refusal, while A's
// file is read back for its answer.
TEST_F(UploadCurlTest, AnUploadBegunWhileAnotherIsAnsweredNeverChangesThatAnswer) {
    const std::string first = conn_test::tricky_bytes(24 * 1024 * 1024, 31);
    const std::string second = conn_test::tricky_bytes(64 * 1024, 32);
    conn_test::write_file(dir.file("first.bin"), first);
    const std::size_t offset = server->output().size();
    int first_status = -1;
    std::string first_answer;
    std::thread a([&] {
        first_answer =
            curl({"-s", "-S", "-H", "Expect:", "-F", "file=@" + dir.file("first.bin"), url},
                 &first_status);
    });
    const bool first_stored = conn_test::wait_for(
        [&] {
            return server->output().find("upload progress 100 Firmware upload Done", offset) !=
                   std::string::npos;
        },
        std::chrono::seconds(120));
    std::string second_answer;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (first_stored && std::chrono::steady_clock::now() < give_up) {
        second_answer = converse(port, multipart_upload(second));
        if (second_answer.compare(0, 12, "HTTP/1.1 503") != 0 && !second_answer.empty())
            break;
    }
    a.join();
    ASSERT_TRUE(first_stored);
    EXPECT_EQ(0, first_status);
    EXPECT_EQ(std::to_string(first.size()) + " " + sha256_of(first) + "\n", first_answer);
    EXPECT_EQ(0u, second_answer.find("HTTP/1.1 200 OK\r\n")) << second_answer.substr(0, 200);
    EXPECT_EQ(std::to_string(second.size()) + " " + sha256_of(second) + "\n",
              body_of(second_answer));
    EXPECT_TRUE(second == conn_test::read_file(dir.file("stored.bin")));
}

TEST_F(UploadCurlTest, UploadsUpToTheLimitAreStoredAndLargerOnesAnswered413) {
    vq_testing::child_process capped({HTTPRTSP_SERVE, "--max-upload", "100000", "--upload-file",
                                      dir.file("capped.bin"), "--upload-uri", "/c"});
    std::string capped_port;
    ASSERT_TRUE(capped.read_line(capped_port));
    const struct {
        std::size_t size;
        std::string code;
    } cases[] = {{99999, "200"}, {100000, "200"}, {100001, "413"}, {1000000, "413"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        conn_test::write_file(dir.file("capped.bin"), "earlier");
        const std::string content = conn_test::tricky_bytes(c.size, static_cast<unsigned>(c.size));
        conn_test::write_file(dir.file("input.bin"), content);
        const std::string code =
            curl({"-s", "-o", dir.file("answer"), "-w", "%{http_code}", "-H", "Expect:", "-F",
                  "file=@" + dir.file("input.bin"), "http://127.0.0.1:" + capped_port + "/c"});
        EXPECT_EQ(c.code, code);
        if (c.code == "200") {
            EXPECT_EQ(std::to_string(c.size) + " " + sha256_of(content) + "\n",
                      conn_test::read_file(dir.file("answer")));
            EXPECT_TRUE(content == conn_test::read_file(dir.file("capped.bin")));
        } else {
            EXPECT_FALSE(std::filesystem::exists(dir.file("capped.bin")));
        }
    }
    EXPECT_NE(std::string::npos, capped.output().find("upload failed 5\n"));
    capped.stop();
}

TEST(ServeOptionsTest, BadValuesAreRefusedWithTheUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {"--max-upload", "0"},
        {"--max-upload", "-1"},
        {"--max-upload", "12k"},
        {"--max-upload", ""},
        {"--max-upload", "18446744073709551616"},
        {"--max-upload"},
        {"--body-timeout", "0"},
        {"--header-timeout", "86401"},
        {"--idle-timeout", "1.5"},
        {"--port", "65536"},
        {"--threads", "0"},
        {"--threads", "65"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv{HTTPRTSP_SERVE};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(args.front() + " " + (args.size() > 1 ? args[1] : std::string()));
        const vq_testing::run_result r = vq_testing::run(argv);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(0u, r.err.find("usage: httprtsp_serve")) << r.err;
    }
}

// With each time-out at one second, a peer stuck in the phase it governs is closed long before
// the default of a minute would close it.
TEST(ServeOptionsTest, TimeOutsAndTheLargestLimitAreTaken) {
    conn_test::temp_dir dir;
    vq_testing::child_process server(
        {HTTPRTSP_SERVE, "--header-timeout", "1", "--body-timeout", "1", "--idle-timeout", "1",
         "--max-upload", "18446744073709551615", "--upload-file", dir.file("stored.bin")});
    std::string port;
    ASSERT_TRUE(server.read_line(port));
    const std::string stuck[] = {
        "GET /echo HTTP/1.1\r\nHost: x\r\n",                    // in its header block
        "POST /echo HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", // in its body
        "GET /echo HTTP/1.1\r\nContent-Length: 0\r\n\r\n",      // answered, then idle
    };
    std::vector<std::thread> peers;
    std::string replies[3];
    bool closed[3] = {false, false, false};
    for (int i = 0; i < 3; ++i)
        peers.emplace_back([&, i] { replies[i] = converse(port, stuck[i], &closed[i]); });
    for (auto& t : peers)
        t.join();
    EXPECT_TRUE(closed[0] && closed[1] && closed[2]);
    EXPECT_EQ("", replies[0]);
    EXPECT_EQ("", replies[1]);
    EXPECT_EQ(0u, replies[2].find("HTTP/1.1 200 OK\r\n"));
    server.stop();
}

} // namespace
