// Our parser against Node's own (llhttp, strict) on the framing corpus and the parser's fuzz
// seeds: where both accept a message they must agree on where it ends, its method, target,
// status, header values and body; where one accepts what the other rejects, decisions.md
// beside the corpus must say why.
#include "httprtsp/src/message_format.hpp"
#include "tests/support/child_process.h"

#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace httprtsp;

struct test_case {
    std::string name;
    std::string type; // "request" or "response": which of Node's parsers reads it
    std::string bytes;
};

std::string source_dir() {
    const char* root = std::getenv("VQ_SOURCE_DIR");
    return root ? root : ".";
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size() + 1) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
        }
    }
    return out;
}

std::vector<test_case> corpus() {
    std::vector<test_case> cases;
    const std::string dir = source_dir() + "/tests/httprtsp/framing_corpus/";
    std::istringstream lines(read_file(dir + "cases.txt"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t a = line.find(' '), b = line.find(' ', a + 1);
        cases.push_back(
            {line.substr(a + 1, b - a - 1), line.substr(0, a), unescape(line.substr(b + 1))});
    }
    // The fuzz seeds: two bytes choose the split, the rest is the stream.
    for (const auto& seed :
         std::filesystem::directory_iterator(source_dir() + "/fuzz/httprtsp/corpus_parse")) {
        const std::string data = read_file(seed.path().string());
        if (data.size() <= 2)
            continue;
        const std::string bytes = data.substr(2);
        const bool reply = bytes.compare(0, 5, "HTTP/") == 0 || bytes.compare(0, 5, "RTSP/") == 0;
        cases.push_back(
            {"fuzz:" + seed.path().filename().string(), reply ? "response" : "request", bytes});
    }
    return cases;
}

std::string hex(const std::string& s) {
    if (s.empty())
        return "-";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// What our parser makes of a case, in the script's form.
std::string ours(const std::string& bytes) {
    httprtsp_message_format format;
    std::vector<std::string> messages;
    std::string verdict;
    auto describe = [&](const boost::shared_ptr<message>& m, std::size_t end) {
        std::string method, target, headers, body;
        unsigned status = 0;
        if (auto req = boost::dynamic_pointer_cast<request>(m)) {
            method = req->method();
            target = req->uri();
        } else {
            status = boost::dynamic_pointer_cast<reply>(m)->status();
        }
        for (const auto& h : m->headers())
            headers += h.first + '\0' + h.second + '\0';
        if (m->body())
            body.assign(m->body()->begin(), m->body()->end());
        messages.push_back("msg " + std::to_string(end) + " " + hex(method) + " " + hex(target) +
                           " " + std::to_string(status) + " " + hex(headers) + " " + hex(body));
    };
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    while (p != end && verdict.empty()) {
        try {
            auto r = format.parse(p, end);
            if (r.get<0>())
                describe(r.get<2>(), static_cast<std::size_t>(r.get<1>() - bytes.data()));
            else if (!boost::indeterminate(r.get<0>()))
                verdict = "bad@" + std::to_string(r.get<1>() - bytes.data());
            p = r.get<1>();
        } catch (const boost::bad_lexical_cast&) {
            verdict = "bad@?";
        }
    }
    if (verdict.empty()) {
        if (boost::shared_ptr<message> last = format.end_of_input())
            describe(last, bytes.size());
        const bool whole =
            !messages.empty() && messages.back().compare(4, std::to_string(bytes.size()).size() + 1,
                                                         std::to_string(bytes.size()) + " ") == 0;
        verdict = whole || bytes.empty() ? "ok" : "partial";
    }
    std::string out = "case " + verdict + " " + std::to_string(messages.size());
    for (const std::string& m : messages)
        out += "\n" + m;
    return out;
}

// "case <verdict> <messages>" with rejected and incomplete alike: where (or whether, before
// the input ends) two parsers notice a fault is not a disagreement about what they accepted.
std::string verdict(const std::string& line) {
    for (const char* open : {"case bad@", "case partial"})
        if (line.compare(0, std::strlen(open), open) == 0)
            return "case unfinished" + line.substr(line.find(' ', 5));
    return line;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

TEST(ParserDifferentialTest, NodeAgreesOnEveryMessageBothAccept) {
    VQ_REQUIRE_PEER("node");
    const std::vector<test_case> cases = corpus();
    ASSERT_LT(60u, cases.size());

    char path[] = "/tmp/vq_differential_XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_LE(0, fd);
    ::close(fd);
    {
        std::ofstream list(path, std::ios::binary);
        for (const test_case& c : cases)
            list << c.type << ' ' << hex(c.bytes) << '\n';
    }
    const vq_testing::run_result node = vq_testing::run(
        {"node", source_dir() + "/tests/httprtsp/framing_corpus/llhttp_parse.js", path});
    std::remove(path);
    ASSERT_EQ(0, node.status) << node.err;

    // Node's answers, one block per case.
    std::vector<std::string> theirs;
    for (const std::string& line : split_lines(node.out)) {
        if (line.compare(0, 5, "case ") == 0)
            theirs.push_back(line);
        else if (!theirs.empty())
            theirs.back() += "\n" + line;
    }
    ASSERT_EQ(cases.size(), theirs.size()) << node.out;

    const std::string decisions =
        read_file(source_dir() + "/tests/httprtsp/framing_corpus/decisions.md");
    std::vector<std::string> differ;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::vector<std::string> a = split_lines(ours(cases[i].bytes));
        const std::vector<std::string> b = split_lines(theirs[i]);
        // Messages both parsers accepted, in order, must be the same messages, except where an
        // RTSP rule is written down as a framing exception.
        const bool exception =
            decisions.find("`" + cases[i].name + "` (framing exception)") != std::string::npos;
        for (std::size_t m = 1; m < std::min(a.size(), b.size()) && !exception; ++m)
            EXPECT_EQ(b[m], a[m]) << "message " << m << " (Node first, ours second)";
        if (verdict(a[0]) != verdict(b[0]) && b[0].compare(0, 12, "case upgrade") != 0) {
            differ.push_back(cases[i].name + ": ours " + a[0] + ", Node " + b[0]);
            EXPECT_NE(std::string::npos, decisions.find("`" + cases[i].name + "`"))
                << "accepted by one parser only, and no decision written: ours " << a[0]
                << ", Node " << b[0];
        }
    }
    for (const std::string& d : differ)
        std::printf("accept/reject differs: %s\n", d.c_str());
}

} // namespace
