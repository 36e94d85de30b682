// Incremental parser: corpora fed in every split, rejection rules, chunked coding, body
// reservation, and the handling of sizes that cannot be met.
#include "httprtsp/src/detail/lexer.hpp"
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/message_format.hpp"

#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include <deque>
#include <locale>
#include <string>
#include <vector>

namespace {

using namespace httprtsp;

// What one completed or rejected message looked like.
struct outcome {
    std::string result; // "ok", "bad" or "throw"
    std::size_t stop;   // absolute offset just past the deciding byte
    std::string dump;   // message dump, or "null"
    bool operator==(const outcome& o) const {
        return result == o.result && stop == o.stop && dump == o.dump;
    }
};

std::ostream& operator<<(std::ostream& os, const outcome& o) {
    return os << "{" << o.result << " @" << o.stop << " " << o.dump << "}";
}

std::string describe(const boost::shared_ptr<message>& m) {
    if (!m)
        return "null";
    std::string d = m->to_string();
    d += m->body() ? " [body " + std::to_string(m->body()->size()) + "]" : " [no body]";
    return d;
}

// Feeds data in pieces cut at the given offsets, the way a connection feeds its reads.
std::vector<outcome> feed(const std::string& data, const std::vector<std::size_t>& cuts,
                          bool through_pointers = true,
                          const std::string& upload_uri = std::string(),
                          const parser_limits& limits = parser_limits()) {
    httprtsp_message_format format;
    format.upload_uri = upload_uri;
    format.set_limits(limits);
    std::vector<outcome> out;
    std::vector<std::size_t> bounds = cuts;
    bounds.push_back(data.size());
    std::size_t from = 0;
    for (std::size_t to : bounds) {
        if (through_pointers) {
            const char* p = data.data() + from;
            const char* e = data.data() + to;
            while (p != e) {
                try {
                    boost::tuple<boost::tribool, const char*, boost::shared_ptr<message>> r =
                        format.parse(p, e);
                    if (boost::indeterminate(r.get<0>())) {
                        EXPECT_EQ(e, r.get<1>());
                        EXPECT_FALSE(r.get<2>());
                    } else {
                        out.push_back({r.get<0>() ? "ok" : "bad",
                                       static_cast<std::size_t>(r.get<1>() - data.data()),
                                       describe(r.get<2>())});
                        EXPECT_FALSE(format.get_current_message())
                            << "nothing kept after a decision";
                    }
                    p = r.get<1>();
                } catch (const boost::bad_lexical_cast&) {
                    out.push_back({"throw", 0, describe(format.get_current_message())});
                    format.reset();
                    return out;
                }
            }
        } else {
            // A non-contiguous iterator takes the one-byte path.
            std::deque<char> piece(data.begin() + static_cast<std::ptrdiff_t>(from),
                                   data.begin() + static_cast<std::ptrdiff_t>(to));
            std::deque<char>::iterator p = piece.begin();
            while (p != piece.end()) {
                try {
                    boost::tuple<boost::tribool, std::deque<char>::iterator,
                                 boost::shared_ptr<message>>
                        r = format.parse(p, piece.end());
                    if (!boost::indeterminate(r.get<0>()))
                        out.push_back({r.get<0>() ? "ok" : "bad",
                                       from + static_cast<std::size_t>(r.get<1>() - piece.begin()),
                                       describe(r.get<2>())});
                    p = r.get<1>();
                } catch (const boost::bad_lexical_cast&) {
                    out.push_back({"throw", 0, describe(format.get_current_message())});
                    format.reset();
                    return out;
                }
            }
        }
        from = to;
    }
    return out;
}

// Every way of cutting the input must give the same outcomes as feeding it whole.
void expect_same_in_every_split(const std::string& data, const std::vector<outcome>& expected,
                                const std::string& upload_uri = std::string(),
                                const parser_limits& limits = parser_limits()) {
    ASSERT_EQ(expected, feed(data, {}, true, upload_uri, limits));
    ASSERT_EQ(expected, feed(data, {}, false, upload_uri, limits))
        << "one byte at a time through consume";
    for (std::size_t k = 0; k <= data.size(); ++k)
        ASSERT_EQ(expected, feed(data, {k}, true, upload_uri, limits)) << "split at " << k;
    std::vector<std::size_t> every;
    for (std::size_t k = 1; k < data.size(); ++k)
        every.push_back(k);
    ASSERT_EQ(expected, feed(data, every, true, upload_uri, limits)) << "byte by byte";
}

struct corpus_entry {
    std::string bytes;
    std::string result;
    std::string dump;
};

const std::vector<corpus_entry>& corpus() {
    static const std::vector<corpus_entry> entries = {
        {"GET /x HTTP/1.1\r\nHost: a\r\n\r\n", "ok",
         "httprtsp::request[method: GET, uri: /x, protocol: HTTP/1.1, header: [[host, a]], body: ] [no body]"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "ok",
         "httprtsp::reply[status: 200, protocol: HTTP/1.1, header: [[content-length, 5]], body: hello] [body 5]"},
        {"POST /cometd RTSP/1.1\r\nContent-Type: application/json\r\nConnection: Keep-Alive\r\nContent-Length: 12\r\n\r\n"
         "[{\"a\":\"\r\n\"}]",
         "ok",
         "httprtsp::request[method: POST, uri: /cometd, protocol: RTSP/1.1, header: [[connection, Keep-Alive]"
         "[content-length, 12][content-type, application/json]], body: [{\"a\":\"\r\n\"}]] [body 12]"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n5;name=\"v\"\r\nhello\r\n"
         "3;x\r\n, w\r\n0\r\n\r\n",
         "ok",
         "httprtsp::reply[status: 200, protocol: HTTP/1.1, header: [[transfer-encoding, Chunked]], "
         "body: hello, w] [body 8]"},
        {"RTSP/1.0 404 Not Found At All\r\nCSeq: 7\r\nX-Dup: 1\r\nx-dup: 2\r\nX-High: caf\xc3\xa9 \xff\r\nX-Empty: \r\n"
         "X-Sp:  two\r\n\r\n",
         "ok",
         "httprtsp::reply[status: 404, protocol: RTSP/1.0, header: [[cseq, 7][x-dup, 1][x-dup, 2][x-empty, ]"
         "[x-high, caf\xc3\xa9 \xff][x-sp, two]], body: ] [no body]"},
        // In a reply a folded line joins the entry before it, after one space.
        {"RTSP/1.0 200 OK\r\nA: 1\r\n \t folded text \r\n\t\r\nB: 2\r\n\r\n", "ok",
         "httprtsp::reply[status: 200, protocol: RTSP/1.0, header: [[a, 1 folded text][b, 2]], body: ] [no body]"},
        {"HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n", "ok",
         "httprtsp::reply[status: 204, protocol: HTTP/1.0, header: [[content-length, 0]], body: ] [no body]"},
        // Trailer lines are read and dropped up to the empty line.
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: y\r\nX-Foo: /admin HTTP/1.1\r\n"
         "Host: internal\nexpires: never\r\n\r\n",
         "ok",
         "httprtsp::reply[status: 200, protocol: HTTP/1.1, header: [[transfer-encoding, chunked]], body: ] [body 0]"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nA\r\n0123456789\n00\n\r\n", "ok",
         "httprtsp::reply[status: 200, protocol: HTTP/1.1, header: [[transfer-encoding, chunked]], "
         "body: 0123456789] [body 10]"},
        // Codings ending in chunked, over two entries, in a request: chunked.
        {"POST /u HTTP/1.1\r\nTransfer-Encoding: gzip,\r\ntransfer-encoding:chunked \r\n\r\n2\r\nzz\r\n0\r\n\r\n",
         "ok",
         "httprtsp::request[method: POST, uri: /u, protocol: HTTP/1.1, header: [[transfer-encoding, gzip,]"
         "[transfer-encoding, chunked]], body: zz] [body 2]"},
        {"SET_PARAMETER rtsp://h:554/s?x=1 RTSP/1.0\r\nSession: 12;timeout=60\r\n\r\n", "ok",
         "httprtsp::request[method: SET_PARAMETER, uri: rtsp://h:554/s?x=1, protocol: RTSP/1.0, "
         "header: [[session, 12;timeout=60]], body: ] [no body]"},
        // White space around values, none or tabs after the colon; equal lengths twice.
        {"\r\n\n\r\nPUT /v HTTP/1.1\r\nContent-Length:\t 2 \t\r\nConnection:\tclose\r\nHost:a\r\n"
         "X-T: a\tb\r\nX-E:\r\ncontent-length: 2\r\n\r\nok",
         "ok",
         "httprtsp::request[method: PUT, uri: /v, protocol: HTTP/1.1, header: [[connection, close]"
         "[content-length, 2][content-length, 2][host, a][x-e, ][x-t, a\tb]], body: ok] [body 2]"},
        // obs-text and tabs in a reason phrase; 1xx, 204 and 304 never carry a body.
        {"HTTP/1.1 100 Continue\r\nContent-Length: 3\r\n\r\n", "ok",
         "httprtsp::reply[status: 100, protocol: HTTP/1.1, header: [[content-length, 3]], body: ] [no body]"},
        {"HTTP/1.1 101 Switching Protocols\r\nTransfer-Encoding: chunked\r\n\r\n", "ok",
         "httprtsp::reply[status: 101, protocol: HTTP/1.1, header: [[transfer-encoding, chunked]], body: ] [no body]"},
        {"HTTP/1.1 304 Nicht ver\xe4ndert\t!\r\nContent-Length: 5\r\n\r\n", "ok",
         "httprtsp::reply[status: 304, protocol: HTTP/1.1, header: [[content-length, 5]], body: ] [no body]"},
        {"HTTP/1.1 204 \r\nContent-Length: 7\r\nTransfer-Encoding: chunked\r\n\r\n", "ok",
         "httprtsp::reply[status: 204, protocol: HTTP/1.1, header: [[content-length, 7][transfer-encoding, chunked]], "
         "body: ] [no body]"},
    };
    return entries;
}

TEST(ParserCorpusTest, EachMessageInEverySplit) {
    for (const corpus_entry& e : corpus()) {
        SCOPED_TRACE(e.bytes);
        expect_same_in_every_split(e.bytes, {{e.result, e.bytes.size(), e.dump}});
    }
}

TEST(ParserCorpusTest, AllMessagesInOneBufferInEverySplit) {
    std::string all;
    std::vector<outcome> expected;
    for (const corpus_entry& e : corpus()) {
        all += e.bytes;
        expected.push_back({e.result, all.size(), e.dump});
    }
    expect_same_in_every_split(all, expected);
}

TEST(ParserCorpusTest, BytesAfterAMessageStartTheNext) {
    const std::string data =
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloHTTP/1.1 204 No Content\r\n\r\nGET";
    std::vector<outcome> got = feed(data, {});
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(std::string("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello").size(), got[0].stop);
    EXPECT_EQ("httprtsp::reply[status: 204, protocol: HTTP/1.1, header: [], body: ] [no body]",
              got[1].dump);
}

struct rejection {
    const char* name;
    std::string bytes;
    std::size_t stop; // offset just past the rejected byte
    bool with_message;
};

TEST(ParserRejectsTest, EachRule) {
    const std::string get = "GET /x HTTP/1.1\r\n"; // 17 bytes
    const rejection rows[] = {
        {"CR without LF where a message begins", "\r\n\rX", 4, false},
        {"separator first", " GET / HTTP/1.1\r\n", 1, false},
        {"slash first", "/x", 1, false},
        {"non-ASCII first", "\xc3GET", 1, false},
        {"tab in start line", "GET /x\tHTTP/1.1\r\n", 7, false},
        {"high byte in start line", "GET /\x80 HTTP/1.1\r\n", 6, false},
        {"no LF after start line", "GET /x HTTP/1.1\rX", 17, true},
        {"status line with one token", "HTTP/1.1\r\n", 9, false},
        {"request line with two tokens", "GET /index\r\n", 11, false},
        {"LF in value", get + "Host: a\nb\r\n", 25, true},
        {"DEL in value", get + "Host: a\x7f\r\n", 25, true},
        {"space in name", get + "Ho st: a\r\n", 20, true},
        {"separator in name", get + "Ho(st: a\r\n", 20, true},
        {"high byte in name", get + "H\xe9: a\r\n", 19, true},
        {"continuation before any header", get + " folded\r\n\r\n", 18, true},
        {"tab continuation before any header", get + "\tfolded\r\n\r\n", 18, true},
        {"control in continuation", "HTTP/1.1 200 OK\r\nA: 1\r\n \x01\r\n", 25, true},
        {"continuation in a request", get + "A: 1\r\n chunked\r\n", 24, true},
        {"no LF after header line", get + "A: 1\rB", 23, true},
        {"no LF after empty line", get + "\rX", 19, true},
        {"start line of five characters", "GET /\r\nHost: a\r\n\r\n", 18, false},
        {"start line of one character", "G\r\nX: 1\r\n\r\n", 11, false},
        // Without a message there is no header entry, so a folded line is not allowed.
        {"fold after headers of no message", "G\r\nX: 1\r\n \r\n\r\n", 10, false},
        {"chunk size not hexadecimal",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 51, true},
        {"chunk size empty", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n\r\n", 49, true},
        {"chunk size negative", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-1\r\nx\r\n",
         51, true},
        {"chunk size too large",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n80000000\r\n", 57, true},
        {"chunk size only an extension",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n;a=1\r\n", 53, true},
        {"chunk size 0x5", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0x5\r\n", 52,
         true},
        {"chunk size +5", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n+5\r\n", 51, true},
        {"chunk size after a space", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n 5\r\n",
         51, true},
        {"white space before an extension",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5 ;x\r\n", 53, true},
        {"chunk size then junk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5 junk\r\n",
         55, true},
        {"CR inside a chunk-size line",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r;\r\n", 50, true},
        {"bytes between chunk data and its line end",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloX\r\n", 56, true},
        {"CR after chunk data without LF",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r5", 57, true},
        {"control in a trailer",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: \x01", 54, true},
        {"CR then not LF after the trailers",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\rX", 52, true},
        // Framing that two readers could take differently.
        {"Content-Length and Transfer-Encoding",
         "POST /a HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 67, true},
        {"Content-Length and Transfer-Encoding in a reply",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", 66, true},
        {"differing Content-Length values",
         "POST /a HTTP/1.1\r\nContent-Length: 31\r\nContent-Length: 5\r\n\r\n", 59, true},
        {"request coding not chunked", "POST /a HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 45,
         true},
        {"request coding after chunked",
         "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", 54, true},
        {"request chunked twice",
         "POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n", 76,
         true},
        {"RTSP reply coding not chunked", "RTSP/1.0 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", 44,
         true},
        // Start lines: exactly three parts, single spaces, a protocol we speak.
        {"two spaces in a request line", "GET  /x HTTP/1.1\r\n", 17, false},
        {"four parts", "GET /foo bar/ HTTP/1.1\r\n", 23, false},
        {"space at the end", "GET /x HTTP/1.1 \r\n", 17, false},
        {"protocol not HTTP or RTSP", "GET /x HTP/1.1\r\n", 15, false},
        {"reply of another protocol", "ICE/1.0 200 OK\r\n", 15, false},
        {"reply of a misspelt protocol", "HTP/1.1 200 OK\r\n", 15, false},
        {"two-digit major version", "HTTP/01.1 200 OK\r\n", 17, false},
        {"request version of two digits", "GET / HTTP/1.10\r\n", 16, false},
        {"high byte before the reason",
         "HTTP/1.1 2\xc3"
         "0 OK\r\n",
         11, false},
    };
    for (const rejection& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<outcome> got = feed(r.bytes, {});
        ASSERT_FALSE(got.empty());
        EXPECT_EQ("bad", got[0].result);
        EXPECT_EQ(r.stop, got[0].stop);
        EXPECT_EQ(r.with_message, got[0].dump != "null") << got[0].dump;
        // The decision does not depend on how the bytes arrive.
        const std::vector<outcome> whole = feed(r.bytes.substr(0, r.stop), {});
        expect_same_in_every_split(r.bytes.substr(0, r.stop), whole);
    }
}

TEST(ParserRejectsTest, ParserStartsAfreshAfterABadMessage) {
    const std::string data = "GET /x HTTP/1.1\r\nHost: a\x01\r\n\r\nGET /y HTTP/1.1\r\n\r\n";
    std::vector<outcome> got = feed(data, {});
    // The empty lines after the rejected byte are skipped, then GET /y parses.
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("bad", got[0].result);
    EXPECT_EQ(
        "httprtsp::request[method: GET, uri: /y, protocol: HTTP/1.1, header: [], body: ] [no body]",
        got[1].dump);
}

TEST(ParserConversionTest, StatusThatIsNotANumberThrowsAndResetRecovers) {
    httprtsp_message_format format;
    for (const char* bad : {"HTTP/1.1 OK fine\r\n", "HTTP/1.1 2 OK\r\n", "HTTP/1.1 2000 OK\r\n",
                            "HTTP/1.1 20x OK\r\n", "RTSP/1.0 \r\n", "HTTP/1.1  200 OK\r\n"}) {
        const std::string line = bad;
        EXPECT_THROW(format.parse(line.data(), line.data() + line.size()), boost::bad_lexical_cast)
            << bad;
        format.reset();
    }
    const std::string good = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    boost::tuple<boost::tribool, const char*, boost::shared_ptr<message>> r =
        format.parse(good.data(), good.data() + good.size());
    EXPECT_TRUE(bool(r.get<0>()));
    EXPECT_EQ(good.data() + good.size(), r.get<1>());
}

TEST(ParserConversionTest, UnconvertibleContentLengthThrowsWithTheMessageReachable) {
    for (const char* value :
         {"12abc", "", "+5", "5 5", "5, 5", "99999999999", "2147483648", "4294967297"}) {
        const std::string data =
            std::string("POST /a HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\n";
        std::vector<outcome> got = feed(data, {});
        ASSERT_EQ(1u, got.size()) << value;
        EXPECT_EQ("throw", got[0].result);
        EXPECT_NE(std::string::npos, got[0].dump.find("method: POST"))
            << "the partly built request is reachable";
    }
    // After reset the same object parses normally.
    httprtsp_message_format format;
    const std::string bad = "HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n";
    EXPECT_THROW(format.parse(bad.begin(), bad.end()), boost::bad_lexical_cast);
    format.reset();
    EXPECT_FALSE(format.get_current_message());
    const std::string good = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz";
    EXPECT_TRUE(bool(format.parse(good.begin(), good.end()).get<0>()));
}

// The memory line (colours off) carries the unsigned 32-bit view of the size.
void expect_memory_line(const std::string& captured, const std::string& number) {
    const std::string prefix = "In message_format, line ";
    ASSERT_EQ(0u, captured.find(prefix)) << captured;
    const std::size_t colon = captured.find(": ", prefix.size());
    ASSERT_NE(std::string::npos, colon);
    EXPECT_EQ("Could not allocate enough memory (" + number + ") for message body.\n\r\n",
              captured.substr(colon + 2));
}

TEST(ParserConversionTest, TenDigitContentLengthsAtTheLimitAndOnePast) {
    struct row {
        const char* value;
        std::string result; // after the header block: "body", "bad" or "throw"
    } rows[] = {
        {"2147483647", "body"},  {"2147483648", "throw"}, {"4294967295", "throw"},
        {"4294967296", "throw"}, {"4294967297", "throw"}, {"0000000005", "body"},
        {"9999999999", "throw"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.value);
        const std::string head =
            std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + r.value + "\r\n\r\n";
        httprtsp_message_format format;
        std::string got;
        try {
            boost::tribool result = format.parse(head.data(), head.data() + head.size()).get<0>();
            got = boost::indeterminate(result) ? "body" : result ? "ok" : "bad";
        } catch (const boost::bad_lexical_cast&) {
            got = "throw";
        }
        EXPECT_EQ(r.result, got);
        if (got != "body")
            continue;
        // The body is counted from the whole value: one byte never completes it (a wrapped
        // length would), five bytes complete only the short one.
        const std::string five = "abcde";
        boost::tribool more = format.parse(five.data(), five.data() + 5).get<0>();
        EXPECT_EQ(std::string(r.value) == "0000000005", bool(more));
        EXPECT_EQ(std::string(r.value) == "0000000005", !boost::indeterminate(more));
    }
    // Past a server's body limit the largest length is bad, not a throw.
    std::vector<outcome> got = feed("POST / HTTP/1.1\r\nContent-Length: 2147483647\r\n\r\n", {},
                                    true, "", parser_limits::for_server_requests());
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("bad", got[0].result);
}

TEST(ParserMendsTest, NegativeContentLengthIsBadAndReported) {
    const bool saved = colours_enabled;
    colours_enabled = false;
    struct row {
        const char* name;
        std::string bytes;
        std::string upload_uri;
        std::string number;
    } rows[] = {
        {"reply", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nhello", "", "4294967291"},
        {"plain POST", "POST /up HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "", "4294967295"},
        {"upload POST",
         "POST /up HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=xx\r\nContent-Length: -2147483648\r\n\r\n--xx",
         "/up", "2147483648"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        testing::internal::CaptureStdout();
        std::vector<outcome> got = feed(r.bytes, {}, true, r.upload_uri);
        const std::string captured = testing::internal::GetCapturedStdout();
        ASSERT_LE(1u, got.size());
        EXPECT_EQ("bad", got[0].result);
        EXPECT_EQ(r.bytes.find("\r\n\r\n") + 4, got[0].stop);
        expect_memory_line(captured, r.number);
    }
    colours_enabled = saved;
}

TEST(ParserBodyTest, ReservationFollowsTheUploadTest) {
    struct row {
        const char* name;
        std::string start;
        std::string content_type;
        std::string upload_uri;
        std::size_t capacity;
    } rows[] = {
        {"upload", "POST /upload HTTP/1.1", "multipart/form-data; boundary=b", "/upload", 16384},
        {"other uri", "POST /other HTTP/1.1", "multipart/form-data; boundary=b", "/upload",
         1000000},
        {"RTSP", "POST /upload RTSP/1.0", "multipart/form-data; boundary=b", "/upload", 1000000},
        {"lower-case method", "post /upload HTTP/1.1", "multipart/form-data; boundary=b", "/upload",
         1000000},
        {"other type", "POST /upload HTTP/1.1", "Multipart/form-data; boundary=b", "/upload",
         1000000},
        {"no upload uri", "POST /upload HTTP/1.1", "multipart/form-data; boundary=b", "", 1000000},
        {"reply", "HTTP/1.1 200 OK", "multipart/form-data; boundary=b", "/upload", 1000000},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        httprtsp_message_format format;
        format.upload_uri = r.upload_uri;
        const std::string head =
            r.start + "\r\nContent-Type: " + r.content_type + "\r\nContent-Length: 1000000\r\n\r\n";
        boost::tuple<boost::tribool, const char*, boost::shared_ptr<message>> got =
            format.parse(head.data(), head.data() + head.size());
        EXPECT_TRUE(boost::indeterminate(got.get<0>()));
        ASSERT_TRUE(format.get_current_message());
        ASSERT_TRUE(format.get_current_message()->body());
        EXPECT_EQ(r.capacity, format.get_current_message()->body()->capacity());
    }
}

TEST(ParserBodyTest, ReplyFramedByNeitherRunsToTheEndOfTheConnection) {
    struct row {
        const char* name;
        std::string bytes;
        std::uint64_t body_limit;
        std::string at_end; // the body end_of_input() hands out, "null" or "bad"
    } rows[] = {
        {"a reply inside the body", "HTTP/1.1 200 OK\r\n\r\nHTTP/1.1 200 OK\r\n\r\nabc",
         parser_limits::unlimited, "HTTP/1.1 200 OK\r\n\r\nabc"},
        {"an empty body", "HTTP/1.0 404 Not Found\r\n\r\n", parser_limits::unlimited, ""},
        {"codings not ending in chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\nxy",
         parser_limits::unlimited, "xy"},
        {"at the body limit", "HTTP/1.1 200 OK\r\n\r\nabc", 3, "abc"},
        {"one past it", "HTTP/1.1 200 OK\r\n\r\nabcd", 3, "bad"},
        {"a partial message", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nab",
         parser_limits::unlimited, "null"},
        {"a partial request", "GET / HTTP/1.1\r\n", parser_limits::unlimited, "null"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        for (std::size_t piece : {r.bytes.size(), std::size_t(1)}) {
            httprtsp_message_format format;
            parser_limits limits;
            limits.body = r.body_limit;
            format.set_limits(limits);
            std::string seen = "null";
            for (std::size_t at = 0; at < r.bytes.size() && seen == "null"; at += piece) {
                const char* p = r.bytes.data() + at;
                const char* e = p + std::min(piece, r.bytes.size() - at);
                boost::tribool result = format.parse(p, e).get<0>();
                if (!boost::indeterminate(result))
                    seen = result ? "complete before the end" : "bad";
            }
            if (seen == "null") {
                boost::shared_ptr<message> m = format.end_of_input();
                if (m)
                    seen = std::string(m->body()->begin(), m->body()->end());
            }
            EXPECT_EQ(r.at_end, seen) << piece;
        }
    }
    // RTSP replies and requests keep their rules: no length, no body.
    for (const std::string bytes :
         {"RTSP/1.0 200 OK\r\nCSeq: 2\r\n\r\n", "GET / HTTP/1.1\r\n\r\n"}) {
        std::vector<outcome> got = feed(bytes, {});
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ("ok", got[0].result);
    }
}

TEST(ParserBodyTest, LargeBodyInPiecesStopsExactlyAtItsEnd) {
    std::string body(100000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    const std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + body;
    const std::string data = first + "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n\n";
    for (std::vector<std::size_t> cuts :
         {std::vector<std::size_t>{}, {100}, {8192, 16384, 24576}, {first.size() - 1}}) {
        std::vector<outcome> got = feed(data, cuts);
        ASSERT_EQ(2u, got.size());
        EXPECT_EQ(first.size(), got[0].stop);
        EXPECT_EQ(data.size(), got[1].stop);
    }
    httprtsp_message_format format;
    boost::shared_ptr<message> m = format.parse(first.data(), first.data() + first.size()).get<2>();
    ASSERT_TRUE(m && m->body());
    EXPECT_TRUE(std::equal(body.begin(), body.end(), m->body()->begin()));
    EXPECT_EQ(100000u, m->body()->capacity()) << "reserved once from the Content-Length";
}

TEST(ParserBodyTest, UploadBodyDrainedBetweenReads) {
    // The connection moves an upload's bytes to a file as they arrive: it empties (or even
    // drops) the body between parse calls, and the parser must go on counting to the end.
    std::string payload(20000, 'u');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 23);
    const std::string head =
        "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=zz\r\nContent-Length: 20000\r\n\r\n";
    const std::string data = head + payload + "GET /next HTTP/1.1\r\n\r\n";
    for (bool drop : {false, true}) {
        httprtsp_message_format format;
        format.upload_uri = "/upload";
        std::string drained;
        const char* p = data.data();
        const char* end = data.data() + data.size();
        std::vector<boost::shared_ptr<message>> done;
        while (p != end) {
            const char* e = std::min(end, p + 8192);
            while (p != e) {
                boost::tuple<boost::tribool, const char*, boost::shared_ptr<message>> r =
                    format.parse(p, e);
                p = r.get<1>();
                if (!boost::indeterminate(r.get<0>())) {
                    ASSERT_TRUE(bool(r.get<0>()));
                    done.push_back(r.get<2>());
                }
            }
            boost::shared_ptr<message> m = format.get_current_message();
            if (m && m->body()) {
                drained.append(m->body()->begin(), m->body()->end());
                if (drop)
                    m->attach_body(message::body_ptr());
                else
                    m->body()->clear();
            }
        }
        ASSERT_EQ(2u, done.size()) << drop;
        drained.append(done[0]->body()->begin(), done[0]->body()->end());
        EXPECT_EQ(payload, drained) << drop;
        EXPECT_EQ("/next", boost::dynamic_pointer_cast<request>(done[1])->uri());
    }
}

// A ctype in the manner of a Turkish single-byte locale: 'I' lowers to the dotless i (0xFD).
struct dotless_ctype : std::ctype<char> {
    char do_tolower(char c) const override {
        return c == 'I' ? '\xfd' : std::ctype<char>::do_tolower(c);
    }
    const char* do_tolower(char* low, const char* high) const override {
        for (; low != high; ++low)
            *low = do_tolower(*low);
        return high;
    }
};

// Eight bytes at a time, then the tail: every byte value in every place, beside neighbours that
// sit at the edges of A to Z, lowers exactly as one byte at a time does.
TEST(ParserNamesTest, WordAtATimeLoweringChangesOnlyAToZ) {
    const char edges[] = {'@', 'A', 'Z', '[', '`', 'a', 'z', '{', '\x80', '\xc1', '\xda', '\xff'};
    for (int v = 0; v < 256; ++v) {
        for (std::size_t at = 0; at < 11; ++at) {
            std::string text(11, ' ');
            for (std::size_t i = 0; i < text.size(); ++i)
                text[i] = edges[(i * 5 + static_cast<std::size_t>(v)) % sizeof edges];
            text[at] = static_cast<char>(v);
            std::string expected = text;
            for (char& c : expected)
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c + 32);
            httprtsp::detail::lower_ascii(&text[0], text.size());
            ASSERT_EQ(expected, text) << "byte " << v << " at " << at;
        }
    }
}

TEST(ParserNamesTest, LoweredThroughTheGlobalLocaleOfTheMoment) {
    const std::string data = "GET / HTTP/1.1\r\nX-Id: 1\r\n\r\n";
    httprtsp_message_format format;
    auto key_of = [&]() {
        boost::shared_ptr<message> m =
            format.parse(data.data(), data.data() + data.size()).get<2>();
        return m->headers().begin()->first;
    };
    EXPECT_EQ("x-id", key_of());
    const std::locale saved =
        std::locale::global(std::locale(std::locale::classic(), new dotless_ctype));
    EXPECT_EQ("x-\xfd"
              "d",
              key_of())
        << "the same parser follows a new global locale";
    request built("GET", "/", "HTTP/1.0");
    built.add_header("X-Id", "1");
    EXPECT_EQ("x-\xfd"
              "d",
              built.headers().begin()->first)
        << "the message and the parser agree";
    std::locale::global(saved);
    EXPECT_EQ("x-id", key_of());
}

TEST(ParserRealWorldTest, ChunkedBodyOfManyChunks) {
    std::string data = "HTTP/1.1 200 OK\r\nTransfer-Encoding: CHUNKED\r\n\r\n";
    std::string expected;
    for (int i = 1; i <= 40; ++i) {
        std::string chunk(static_cast<std::size_t>(i * 3), static_cast<char>('a' + i % 26));
        char size[16];
        std::snprintf(size, sizeof size, "%x", i * 3);
        data += std::string(size) + (i % 2 ? ";ext=" + std::to_string(i) : "") + "\r\n" + chunk +
                "\r\n";
        expected += chunk;
    }
    data += "0;last\r\n\r\n";
    std::vector<outcome> got = feed(data, {});
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("ok", got[0].result);
    EXPECT_NE(std::string::npos, got[0].dump.find("body: " + expected + "]"));
    expect_same_in_every_split(data, got);
}

// A subclass that watches every byte through consume().
struct counting_format : httprtsp_message_format {
    std::size_t calls = 0;
    boost::tribool consume(char c) override {
        ++calls;
        return httprtsp_message_format::consume(c);
    }
};

TEST(ParserSubclassTest, OverriddenConsumeSeesEveryByteOnThePointerPath) {
    const std::string data = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b\r\n\r\nhelloGET /";
    counting_format format;
    boost::tuple<boost::tribool, const char*, boost::shared_ptr<message>> r =
        format.parse(data.data(), data.data() + data.size());
    ASSERT_TRUE(bool(r.get<0>()));
    EXPECT_EQ(data.find("GET"), static_cast<std::size_t>(r.get<1>() - data.data()));
    EXPECT_EQ(data.find("GET"), format.calls) << "one call per byte up to the end of the message";
    format.parse(r.get<1>(), data.data() + data.size());
    EXPECT_EQ(data.size(), format.calls);
}

// Where the first outcome was decided, and how.
std::string first_decision(const std::vector<outcome>& got) {
    return got.empty() ? "none" : got[0].result + " @" + std::to_string(got[0].stop);
}

TEST(ParserLimitsTest, HeaderTextUpToEachLimitAndOnePast) {
    parser_limits small;
    small.start_line = 20;
    small.header_line = 16; // CR LF included
    small.header_block = 40;
    small.header_lines = 3;
    const std::string line20 = "GET /" + std::string(6, 'a') + " HTTP/1.0";
    const std::string ok_lines = "A: 1234567\r\nB: 12345678\r\nC: 12345678\r\n"; // 12 + 13 + 13
    struct row {
        const char* name;
        std::string bytes;
        std::string decision; // of the first message
    } rows[] = {
        {"start line at its limit", line20 + "\r\n\r\n", "ok @24"},
        {"start line one past", "GET /" + std::string(7, 'a') + " HTTP/1.0\r\n\r\n", "bad @21"},
        {"header line at its limit", line20 + "\r\nX: " + std::string(11, 'v') + "\r\n\r\n",
         "ok @40"},
        {"header line one past: its LF", line20 + "\r\nX: " + std::string(12, 'v') + "\r\n\r\n",
         "bad @39"},
        {"long name", line20 + "\r\nAbcdefghijklmnopq: v\r\n\r\n", "bad @39"},
        {"header block at its limit", line20 + "\r\n" + ok_lines + "\r\n", "ok @62"},
        {"header block one past: the last LF",
         line20 + "\r\nA: 12345678" + ok_lines.substr(10) + "\r\n", "bad @63"},
        {"one header line too many", line20 + "\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n",
         "bad @41"},
        {"a continuation line counts", line20 + "\r\nA: 1\r\nB: 2\r\nC: 3\r\n 4\r\n\r\n",
         "bad @41"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<outcome> got = feed(r.bytes, {}, true, "", small);
        EXPECT_EQ(r.decision, first_decision(got));
        expect_same_in_every_split(r.bytes, got, "", small);
    }
}

TEST(ParserLimitsTest, TrailersAndEmptyLinesBeforeAMessageAreBounded) {
    parser_limits small;
    small.start_line = 20;
    small.header_line = 32;
    small.header_block = 64;
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n"; // 50
    const std::string trailer = "T: " + std::string(27, 'v') + "\r\n";                        // 32
    std::string crlf10;
    for (int i = 0; i < 10; ++i)
        crlf10 += "\r\n";
    struct row {
        const char* name;
        std::string bytes;
        std::string decision;
    } rows[] = {
        {"trailer line at its limit", chunked + trailer + "\r\n", "ok @84"},
        {"trailer line one past", chunked + "T: " + std::string(28, 'v') + "\r\n\r\n", "bad @83"},
        {"trailers at the block limit", chunked + trailer + trailer.substr(2) + "\r\n", "ok @114"},
        {"trailers one past", chunked + trailer + trailer.substr(1) + "\r\n", "bad @115"},
        {"empty lines before, at the start-line limit", crlf10 + "GET / HTTP/1.0\r\n\r\n",
         "ok @38"},
        {"one byte past", "\n" + crlf10 + "GET / HTTP/1.0\r\n\r\n", "bad @21"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<outcome> got = feed(r.bytes, {}, true, "", small);
        EXPECT_EQ(r.decision, first_decision(got));
        expect_same_in_every_split(r.bytes, got, "", small);
    }
}

TEST(ParserLimitsTest, DefaultsBoundHeaderText) {
    const std::string start = "GET /" + std::string(8192 - 14, 'a') + " HTTP/1.0";
    const std::string line = "X: " + std::string(8192 - 5, 'v') + "\r\n";
    std::string hundred, block;
    for (int i = 0; i < 100; ++i)
        hundred += "H" + std::to_string(i) + ": v\r\n";
    for (int i = 0; i < 8; ++i)
        block += "X: " + std::string(8000 - 5, 'v') + "\r\n";
    struct row {
        const char* name;
        std::string bytes;
        std::string decision;
    } rows[] = {
        {"start line of 8 KiB", start + "\r\n\r\n", "ok @8196"},
        {"start line past 8 KiB", start + "a\r\n\r\n", "bad @8193"},
        {"header line of 8 KiB", "GET / HTTP/1.0\r\n" + line + "\r\n", "ok @8210"},
        {"header line past 8 KiB", "GET / HTTP/1.0\r\nY" + line + "\r\n", "bad @8209"},
        {"100 header lines", "GET / HTTP/1.0\r\n" + hundred + "\r\n",
         "ok @" + std::to_string(16 + hundred.size() + 2)},
        {"101 header lines", "GET / HTTP/1.0\r\n" + hundred + "Z: v\r\n\r\n",
         "bad @" + std::to_string(16 + hundred.size() + 1)},
        {"chunk-size line of 8 KiB",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;" + std::string(8190, 'e') +
             "\r\nhello\r\n0\r\n\r\n",
         "ok @8253"},
        {"chunk-size line past 8 KiB",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;" + std::string(8191, 'e') +
             "\r\n",
         "bad @8240"},
        {"header block of 64 KiB",
         "GET / HTTP/1.0\r\n" + block + "X: " + std::string(1534 - 5, 'v') + "\r\n\r\n",
         "ok @" + std::to_string(16 + 65536)},
        {"header block past 64 KiB",
         "GET / HTTP/1.0\r\n" + block + "X: " + std::string(1535 - 5, 'v') + "\r\n\r\n",
         "bad @" + std::to_string(16 + 65537)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<outcome> got = feed(r.bytes, {});
        EXPECT_EQ(r.decision, first_decision(got));
        EXPECT_EQ(got, feed(r.bytes, {}, false)) << "one byte at a time";
        EXPECT_EQ(got, feed(r.bytes, {r.bytes.size() / 2, r.bytes.size() - 3}));
    }
}

TEST(ParserLimitsTest, BodyHeldInMemoryButNotAnUploadBody) {
    parser_limits ten;
    ten.body = 10;
    const std::string upload_head =
        "POST /up HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=b\r\n";
    const std::string reply = "HTTP/1.1 200 OK\r\n";
    const std::string chunked = "Transfer-Encoding: chunked\r\n\r\n";
    struct row {
        const char* name;
        std::string bytes;
        std::string decision;
    } rows[] = {
        {"length at the limit", reply + "Content-Length: 10\r\n\r\n0123456789", "ok @49"},
        {"length past it: bad at the end of the headers", reply + "Content-Length: 11\r\n\r\n01",
         "bad @39"},
        {"chunks at the limit", reply + chunked + "5\r\n01234\r\n5\r\n56789\r\n0\r\n\r\n",
         "ok @72"},
        {"chunks past it: bad at the size line's LF",
         reply + chunked + "5\r\n01234\r\n6\r\n567890\r\n0\r\n\r\n", "bad @60"},
        {"upload by length", upload_head + "Content-Length: 11\r\n\r\n0123456789a", "ok @99"},
        {"chunked upload", upload_head + chunked + "6\r\n012345\r\n6\r\n67890a\r\n0\r\n\r\n",
         "ok @123"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<outcome> got = feed(r.bytes, {}, true, "/up", ten);
        EXPECT_EQ(r.decision, first_decision(got));
        expect_same_in_every_split(r.bytes, got, "/up", ten);
        const std::vector<outcome> unlimited = feed(r.bytes, {}, true, "/up");
        EXPECT_TRUE(unlimited.empty() || unlimited[0].result == "ok") << "no body limit by default";
    }
}

TEST(ParserBodyTest, ReservedAtMostOneMebibyteAndGrownAsBytesArrive) {
    const std::size_t mib = 1 << 20;
    std::string body(3 * mib, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 13);
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    const std::string data = head + body;
    httprtsp_message_format format;
    format.parse(data.data(), data.data() + head.size());
    ASSERT_TRUE(format.get_current_message() && format.get_current_message()->body());
    EXPECT_EQ(mib, format.get_current_message()->body()->capacity());
    const char* p = data.data() + head.size();
    boost::shared_ptr<message> m;
    for (; p < data.data() + data.size() && !m; p += 100000)
        m = format.parse(p, std::min(p + 100000, data.data() + data.size())).get<2>();
    ASSERT_TRUE(m && m->body());
    EXPECT_TRUE(*m->body() == std::vector<char>(body.begin(), body.end()));
    EXPECT_EQ(body.size(), m->body()->capacity()) << "never grown past the announced size";

    // Sizes announced but not sent reserve no more than the bound.
    for (const std::string& announce :
         {std::string("Content-Length: 2147483647\r\n\r\nab"),
          std::string("Transfer-Encoding: chunked\r\n\r\n7fffffff\r\nab")}) {
        SCOPED_TRACE(announce);
        httprtsp_message_format f;
        const std::string d = "HTTP/1.1 200 OK\r\n" + announce;
        EXPECT_TRUE(boost::indeterminate(f.parse(d.data(), d.data() + d.size()).get<0>()));
        ASSERT_TRUE(f.get_current_message()->body());
        EXPECT_EQ(mib, f.get_current_message()->body()->capacity());
        EXPECT_EQ(2u, f.get_current_message()->body()->size());
    }
}

} // namespace
