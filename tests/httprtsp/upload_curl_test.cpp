// curl uploads files to httprtsp_serve: the stored file is byte-identical, the reply carries
// its size and SHA-256, and progress climbs strictly to 100 "Firmware upload Done".
#include "tests/support/child_process.h"
#include "tests/support/httprtsp_support.hpp"
#include "tools/httprtsp_serve/sha256.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

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

} // namespace
