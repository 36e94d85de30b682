// Streaming multipart uploads into a file, driven in-process with bytes split in every way
// around the delimiter and the part's header lines; the failures and their reports.
#include "httprtsp/src/connection.hpp"
#include "httprtsp/src/io_service_helper.hpp"
#include "tests/support/httprtsp_support.hpp"
#include "tools/httprtsp_serve/handlers.hpp"
#include "tools/httprtsp_serve/sha256.hpp"

#include <boost/make_shared.hpp>
#include <boost/thread/mutex.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sstream>

using conn_test::read_file;
using conn_test::tricky_bytes;
using conn_test::write_file;

namespace {

// Records every call; never answers (the connection has no peer).
class recording_upload_handler : public httprtsp::upload_temp_file_request_handler {
public:
    recording_upload_handler(const std::string& uri, const std::string& path)
        : uri_(uri), path_(path) {}
    void handle_request(boost::shared_ptr<httprtsp::connection>,
                        boost::shared_ptr<httprtsp::request> req) override {
        if (req)
            requests.push_back(req);
    }
    std::string upload_uri() override { return uri_; }
    std::string temp_file_path() override { return path_; }
    void upload_progress(int percent, const std::string& text) override {
        events.push_back(std::to_string(percent) + " " + text);
    }
    void upload_failed(int code) override { events.push_back("failed " + std::to_string(code)); }
    std::uint64_t max_upload_size() override { return limit; }

    std::uint64_t limit = 0;
    std::vector<boost::shared_ptr<httprtsp::request>> requests;
    std::vector<std::string> events;

private:
    std::string uri_, path_;
};

const char part_headers[] = "Content-Disposition: form-data; name=\"file\"; filename=\"fw.bin\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\n";

std::string multipart_body(const std::string& boundary, const std::string& content) {
    return "--" + boundary + "\r\n" + part_headers + content + "\r\n--" + boundary + "--\r\n";
}

std::string upload_request(const std::string& content_type_value, const std::string& body,
                           const std::string& uri = "/upload", const std::string& method = "POST",
                           const std::string& protocol = "HTTP/1.1") {
    return method + " " + uri + " " + protocol +
           "\r\nHost: device\r\nContent-Type: " + content_type_value +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The events of one good upload: 0, strictly increasing percentages, then 100 and Done.
::testing::AssertionResult good_progress(const std::vector<std::string>& events) {
    std::ostringstream all;
    for (const std::string& e : events)
        all << "[" << e << "]";
    if (events.size() < 2 || events.front() != "0 Upload Firmware..." ||
        events.back() != "100 Firmware upload Done")
        return ::testing::AssertionFailure() << all.str();
    int last = -1;
    for (std::size_t i = 0; i + 1 < events.size(); ++i) {
        int percent = -1;
        char text[64] = {0};
        if (std::sscanf(events[i].c_str(), "%d %63[^\n]", &percent, text) != 2 ||
            std::string(text) != "Upload Firmware..." || percent <= last || percent >= 100)
            return ::testing::AssertionFailure() << all.str();
        last = percent;
    }
    return ::testing::AssertionSuccess();
}

class UploadTest : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }

    void TearDown() override {
        drain();
        // Unfinished uploads remove their file: never one that is not the test's own.
        EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
    }

    // Answers written to the unconnected socket complete with an error; running them lets
    // go of the connection they hold.
    void drain() {
        conn.reset();
        io->restart();
        io->poll();
    }

    void fresh(const std::string& path = std::string()) {
        drain();
        handler = boost::make_shared<recording_upload_handler>(
            "/upload", path.empty() ? dir.file("upload.bin") : path);
        conn = boost::make_shared<httprtsp::connection>(io, handler);
        // Open but unconnected: requests are dispatched, answers go nowhere.
        conn->socket().open(boost::asio::ip::tcp::v4());
    }
    void feed(const std::string& bytes) { conn->receive(bytes.data(), bytes.size()); }
    void feed_in_pieces(const std::string& bytes, std::size_t piece) {
        for (std::size_t at = 0; at < bytes.size(); at += piece)
            feed(bytes.substr(at, piece));
    }
    std::string stored() { return read_file(handler->temp_file_path()); }

    conn_test::temp_dir dir;
    boost::shared_ptr<boost::asio::io_service> io =
        boost::make_shared<boost::asio::io_service>(); // never run
    boost::shared_ptr<recording_upload_handler> handler;
    boost::shared_ptr<httprtsp::connection> conn;
};

TEST_F(UploadTest, SplitAnywhereAroundTheDelimiterPartHeadersAndClosingDelimiter) {
    const std::string content = tricky_bytes(3000, 7);
    const std::string boundary = "------------------------d74496d66958873e";
    const std::string whole = upload_request("multipart/form-data; boundary=" + boundary,
                                             multipart_body(boundary, content));
    const std::size_t content_at = whole.find(part_headers) + sizeof part_headers - 1;
    std::vector<std::size_t> splits;
    for (std::size_t p = 1; p < content_at + 8; ++p)
        splits.push_back(p);
    for (std::size_t p = whole.size() - boundary.size() - 16; p < whole.size(); ++p)
        splits.push_back(p);
    conn_test::stdout_capture quiet;
    for (std::size_t p : splits) {
        SCOPED_TRACE("split at " + std::to_string(p));
        fresh();
        feed(whole.substr(0, p));
        feed(whole.substr(p));
        ASSERT_EQ(content, stored());
        ASSERT_TRUE(good_progress(handler->events));
        ASSERT_EQ(1u, handler->requests.size());
        ASSERT_TRUE(handler->requests[0]->body());
        EXPECT_TRUE(handler->requests[0]->body()->empty());
        EXPECT_FALSE(conn->is_closed());
    }
    EXPECT_EQ("", quiet.text());
}

TEST_F(UploadTest, StoredFileHoldsExactlyThePartForEveryBoundaryFormSizeAndReadSize) {
    const struct {
        std::string boundary, header_value;
    } forms[] = {
        {"XyZ-q1w2e3", "multipart/form-data; boundary=XyZ-q1w2e3"},
        {"XyZ-q1w2e3",
         "multipart/form-data; boundary=\"XyZ-q1w2e3\""}, // quotes are not part of the boundary
        {"----WebKitFormBoundary7MA4YWxkTrZu0gW",
         "multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxkTrZu0gW"},
    };
    const std::size_t sizes[] = {0, 1, 2, 511, 512, 513, 100 * 1024};
    const std::size_t pieces[] = {1, 13, 8192, 1 << 20};
    for (const auto& form : forms) {
        for (std::size_t size : sizes) {
            for (std::size_t piece : pieces) {
                if (piece == 1 && size > 600)
                    continue; // byte by byte only for small uploads
                SCOPED_TRACE(form.header_value + " size " + std::to_string(size) + " piece " +
                             std::to_string(piece));
                fresh();
                const std::string content = tricky_bytes(size, static_cast<unsigned>(size + piece));
                feed_in_pieces(
                    upload_request(form.header_value, multipart_body(form.boundary, content)),
                    piece);
                ASSERT_EQ(content.size(), stored().size());
                ASSERT_TRUE(content == stored());
                ASSERT_TRUE(good_progress(handler->events));
                ASSERT_EQ(1u, handler->requests.size());
            }
        }
    }
}

TEST_F(UploadTest, TwoUploadsInARowOnOneConnection) {
    const std::string first = tricky_bytes(20000, 1), second = tricky_bytes(700, 2);
    // Random content holds no line that starts with a long boundary; short ones may occur.
    feed(upload_request("multipart/form-data; boundary=b1-Zq93k",
                        multipart_body("b1-Zq93k", first)));
    ASSERT_EQ(first, stored());
    ASSERT_TRUE(good_progress(handler->events));
    handler->events.clear();
    feed(upload_request("multipart/form-data; boundary=b2-Zq93k",
                        multipart_body("b2-Zq93k", second)));
    EXPECT_EQ(second, stored());
    EXPECT_TRUE(good_progress(handler->events));
    EXPECT_EQ(2u, handler->requests.size());
}

TEST_F(UploadTest, OtherRequestsReachTheHandlerWithTheirBody) {
    const std::string body = multipart_body("b", "payload");
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"other uri", upload_request("multipart/form-data; boundary=b", body, "/other")},
        {"uri with a query",
         upload_request("multipart/form-data; boundary=b", body, "/upload?x=1")},
        {"other content type", upload_request("application/octet-stream", body)},
        {"other multipart", upload_request("multipart/mixed; boundary=b", body)},
        {"content type case", upload_request("Multipart/form-data; boundary=b", body)},
        {"PUT", upload_request("multipart/form-data; boundary=b", body, "/upload", "PUT")},
        {"RTSP",
         upload_request("multipart/form-data; boundary=b", body, "/upload", "POST", "RTSP/1.0")},
    };
    write_file(dir.file("upload.bin"), "untouched");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        feed(c.bytes);
        ASSERT_EQ(1u, handler->requests.size());
        ASSERT_TRUE(handler->requests[0]->body());
        EXPECT_EQ(body, std::string(handler->requests[0]->body()->begin(),
                                    handler->requests[0]->body()->end()));
        EXPECT_TRUE(handler->events.empty());
        EXPECT_EQ("untouched", stored());
    }
}

TEST_F(UploadTest, FailuresAreReportedAndTheInputRejected) {
    const std::string type = "multipart/form-data; boundary=b";
    const std::string stale = "stale content\r\n--b--\r\n";
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::string> events;
        bool stale_kept;
        bool missing_directory;
    } cases[] = {
        {"no delimiter at all",
         upload_request(type, "just some bytes\r\n\r\n"),
         {"0 Upload Firmware..."},
         true,
         false},
        {"part headers never end",
         upload_request(type, "--b\r\nX-Long: " + std::string(40000, 'a')),
         {"0 Upload Firmware..."},
         true,
         false},
        {"part header block unfinished",
         upload_request(type, "--b\r\nContent-Type: x\r\n"),
         {"0 Upload Firmware...", "100 Firmware upload Done", "failed 3"},
         true,
         false},
        {"no closing delimiter",
         upload_request(type, "--b\r\nA: b\r\n\r\n" + std::string(2000, 'x')),
         {"0 Upload Firmware...", "99 Upload Firmware...", "100 Firmware upload Done", "failed 3"},
         false,
         false},
        // Nothing of this request reaches the file: a file left by an earlier upload must
        // not be read back or cut.
        {"nothing to store",
         upload_request(type, "--b"),
         {"0 Upload Firmware...", "100 Firmware upload Done", "failed 3"},
         true,
         false},
        {"file cannot be opened",
         upload_request(type, multipart_body("b", "data")),
         {"0 Upload Firmware...", "0 Error: open failed"},
         true,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.file("upload.bin"), stale);
        fresh(c.missing_directory ? dir.file("missing/upload.bin") : std::string());
        std::string log;
        {
            conn_test::stdout_capture out;
            feed(c.bytes);
            // The 400 answer fails on the unconnected socket, which closes the connection.
            io->restart();
            io->poll();
            log = out.text();
        }
        EXPECT_EQ(c.events, handler->events);
        EXPECT_TRUE(handler->requests.empty());
        EXPECT_TRUE(conn->is_closed());
        EXPECT_EQ(c.stale_kept, read_file(dir.file("upload.bin")) == stale);
        EXPECT_EQ(0u, conn_test::normalise_lines(log).find(
                          "In connection, line #: handle_read_upload failed\n"
                          "In connection, line #: error while parsing the request\n"))
            << log;
    }
}

TEST_F(UploadTest, PartHeadersMayArriveLateWithinTheLimit) {
    // 16 KiB of part headers in small reads: still an upload.
    std::string headers;
    for (int i = 0; headers.size() < 15000; ++i)
        headers += "X-Pad-" + std::to_string(i) + ": " + std::string(80, 'p') + "\r\n";
    const std::string content = tricky_bytes(5000, 3);
    const std::string body =
        "--bNDRY-7f3a\r\n" + headers + "\r\n" + content + "\r\n--bNDRY-7f3a--\r\n";
    feed_in_pieces(upload_request("multipart/form-data; boundary=bNDRY-7f3a", body), 1000);
    EXPECT_EQ(content, stored());
    EXPECT_TRUE(good_progress(handler->events));
}

TEST_F(UploadTest, TwoGigabyteUploadReportsFiftyPercentAtOneGigabyte) {
    // Percentages of large uploads must not overflow: written x 100 passes 32 bits long before
    // the end. The content goes to /dev/null so that the test writes nothing to disk, through a
    // link of our own: the unfinished upload's file is removed at the end, and that must be the
    // link, not the system's /dev/null.
    const std::string sink = dir.file("sink");
    std::filesystem::create_symlink("/dev/null", sink);
    fresh(sink);
    const std::string head = "--bNDRY-big\r\n" + std::string(part_headers);
    const std::uint32_t declared = 2000000000u;
    feed(
        "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=bNDRY-big\r\nContent-Length: " +
        std::to_string(declared) + "\r\n\r\n" + head);
    const std::string block(1 << 16, '\x5a');
    const std::uint64_t one_byte_short = 1000000000u - 1;
    for (std::uint64_t sent = 0; sent < one_byte_short;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), one_byte_short - sent));
        conn->receive(block.data(), n);
        sent += n;
    }
    ASSERT_EQ("49 Upload Firmware...", handler->events.back());
    conn->receive(block.data(), 1);
    ASSERT_GE(handler->events.size(), 3u);
    EXPECT_EQ("0 Upload Firmware...", handler->events.front());
    EXPECT_EQ("50 Upload Firmware...", handler->events.back());
    EXPECT_EQ("49 Upload Firmware...", handler->events[handler->events.size() - 2]);
    EXPECT_EQ(51u, handler->events.size()); // 0 and every step from 1 to 50, each once
    EXPECT_FALSE(conn->is_closed());
}

TEST_F(UploadTest, PartsPastTheSizeLimitFailAndLeaveNoFile) {
    const std::uint64_t limit = 3000;
    const std::string type = "multipart/form-data; boundary=bNDRY-cap";
    // Past the limit by more than the closing delimiter's search window: no need to wait for
    // the end of the request.
    const std::string far_past =
        "--bNDRY-cap\r\n" + std::string(part_headers) + tricky_bytes(limit + 600, 9);
    const struct {
        const char* name;
        std::string bytes;
        std::size_t piece;
        std::string stored; // empty: the file is gone
        std::string last_events;
    } cases[] = {
        {"one byte short", upload_request(type, multipart_body("bNDRY-cap", tricky_bytes(2999, 1))),
         1000, tricky_bytes(2999, 1), "100 Firmware upload Done"},
        {"at the limit", upload_request(type, multipart_body("bNDRY-cap", tricky_bytes(3000, 2))),
         1000, tricky_bytes(3000, 2), "100 Firmware upload Done"},
        {"one byte past", upload_request(type, multipart_body("bNDRY-cap", tricky_bytes(3001, 3))),
         1000, "", "100 Firmware upload Done|failed 5"},
        {"one byte past, in one read",
         upload_request(type, multipart_body("bNDRY-cap", tricky_bytes(3001, 3))), 1 << 20, "",
         "100 Firmware upload Done|failed 5"},
        {"far past, before the request ends",
         "POST /upload HTTP/1.1\r\nContent-Type: " + type + "\r\nContent-Length: 100000\r\n\r\n" +
             far_past,
         256, "", "3 Upload Firmware...|failed 5"},
    };
    write_file(dir.file("upload.bin"), "earlier upload");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        handler->limit = limit;
        {
            conn_test::stdout_capture quiet;
            feed_in_pieces(c.bytes, c.piece);
            io->restart();
            io->poll();
        }
        ASSERT_GE(handler->events.size(), 2u);
        const std::size_t n = handler->events.size();
        const std::string last = c.stored.empty()
                                     ? handler->events[n - 2] + "|" + handler->events[n - 1]
                                     : handler->events[n - 1];
        EXPECT_EQ(c.last_events, last);
        EXPECT_EQ(c.stored.empty(), !std::filesystem::exists(handler->temp_file_path()));
        if (!c.stored.empty()) {
            EXPECT_TRUE(c.stored == stored());
        }
        // Refused uploads never reach the handler, and their connection closes.
        EXPECT_EQ(c.stored.empty() ? 0u : 1u, handler->requests.size());
        EXPECT_EQ(c.stored.empty(), conn->is_closed());
        write_file(dir.file("upload.bin"), "earlier upload");
    }
}

// The one upload slot of httprtsp_serve's handler, driven call by call.
class UploadSlotTest : public UploadTest {
protected:
    // Open but unconnected, like the fixture's.
    boost::shared_ptr<httprtsp::connection> other() {
        boost::shared_ptr<httprtsp::connection> c =
            boost::make_shared<httprtsp::connection>(io, handler);
        c->socket().open(boost::asio::ip::tcp::v4());
        return c;
    }
    boost::shared_ptr<httprtsp::request> upload_post() {
        return boost::make_shared<httprtsp::request>("POST", "/upload", "HTTP/1.1");
    }
};

TEST_F(UploadSlotTest, HeldUntilTheCompletedUploadIsAnsweredOrItsConnectionIsGone) {
    httprtsp_serve::file_upload_handler uploads("/upload", dir.file("upload.bin"), nullptr);
    write_file(dir.file("upload.bin"), "abc");
    boost::shared_ptr<httprtsp::connection> a = other(), b = other();

    // Writing, then complete: held through both.
    ASSERT_TRUE(uploads.upload_begin(*a));
    EXPECT_FALSE(uploads.upload_begin(*b));
    uploads.upload_end(*b, false); // not the holder: changes nothing
    EXPECT_FALSE(uploads.upload_begin(*b));
    uploads.upload_end(*a, true);
    EXPECT_FALSE(uploads.upload_begin(*b)) << "free before the answer is made";
    {
        conn_test::stdout_capture quiet;
        // Another connection's request is not the completed upload and releases nothing.
        uploads.handle_request(b, upload_post());
        EXPECT_FALSE(uploads.upload_begin(*b));
        uploads.handle_request(a, upload_post());
        io->restart();
        io->poll();
    }
    ASSERT_TRUE(uploads.upload_begin(*b)) << "still held after the answer";

    // A failed upload lets go at once.
    uploads.upload_end(*b, false);
    ASSERT_TRUE(uploads.upload_begin(*a));
    // The holder's connection closed with an error: it will never answer.
    uploads.handle_request(a, boost::shared_ptr<httprtsp::request>());
    ASSERT_TRUE(uploads.upload_begin(*b));
    uploads.upload_end(*b, true);
    // The holder completed but is gone before its request was handled.
    b.reset();
    boost::shared_ptr<httprtsp::connection> c = other();
    EXPECT_TRUE(uploads.upload_begin(*c));
}

TEST(UploadSha256Test, KnownDigestsWholeAndInPieces) {
    const struct {
        std::string input, digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        httprtsp_serve::sha256 whole;
        whole.update(c.input.data(), c.input.size());
        EXPECT_EQ(c.digest, whole.hex_digest());
        httprtsp_serve::sha256 pieces;
        for (std::size_t at = 0, step = 1; at < c.input.size();
             at += step, step = step * 2 % 127 + 1)
            pieces.update(c.input.data() + at, std::min(step, c.input.size() - at));
        EXPECT_EQ(c.digest, pieces.hex_digest());
    }
}

} // namespace
