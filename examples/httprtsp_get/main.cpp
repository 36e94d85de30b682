// Fetches one URL with the HTTP/RTSP client and prints the reply's body on standard output.
//
//   httprtsp_get http://HOST[:PORT]/PATH
//
// Exit status: 0 for a 2xx reply, 1 for another status or no reply (said on standard error),
// 2 for a bad command line.
#include "httprtsp/src/client.hpp"
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/message.hpp"
#include "httprtsp/src/request_handler.hpp"
#include "httprtsp/src/uri.hpp"
#include "velquin_version.h"

#include <boost/make_shared.hpp>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

const char usage[] = "usage: httprtsp_get http://HOST[:PORT]/PATH\n"
                     "  Sends one GET and prints the reply's body. Exit status 0 for a 2xx reply,\n"
                     "  1 for another status or none, 2 for a bad command line.\n"
                     "  --help      this text\n"
                     "  --version   the version\n";

struct target {
    std::string host;
    std::string port = "80";
    std::string authority;
    std::string path = "/";
};

// Only plain http URLs: the host may be an IPv6 literal in brackets.
bool split_url(const std::string& url, target& out) {
    const httprtsp::uri_parts parts = httprtsp::parse_uri(url);
    if (parts.scheme != "http" || parts.authority.empty())
        return false;
    out.authority = parts.authority;
    std::string host = parts.authority;
    std::string::size_type colon = host.rfind(':');
    if (!host.empty() && host[0] == '[') {
        const std::string::size_type close = host.find(']');
        if (close == std::string::npos)
            return false;
        colon = close + 1 < host.size() && host[close + 1] == ':' ? close + 1 : std::string::npos;
        out.host = host.substr(1, close - 1);
    } else {
        out.host = host.substr(0, colon);
    }
    if (colon != std::string::npos) {
        out.port = host.substr(colon + 1);
        if (out.port.empty() || out.port.find_first_not_of("0123456789") != std::string::npos)
            return false;
    }
    if (!parts.path.empty())
        out.path = parts.path;
    if (!parts.query.empty())
        out.path += "?" + parts.query;
    return !out.host.empty();
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("httprtsp_get %s\n", VELQUIN_VERSION);
        return 0;
    }
    target t;
    if (argc != 2 || !split_url(argv[1], t)) {
        std::fputs(usage, stderr);
        return 2;
    }

    try {
        io_service_pool pool(1);
        httprtsp::client client(t.host, t.port, boost::make_shared<httprtsp::request_handler>(),
                                pool.get_io_service());
        const auto req =
            boost::make_shared<httprtsp::request>(httprtsp::method_names::get, t.path, "HTTP/1.1");
        req->add_header("Host", t.authority);
        const boost::shared_ptr<httprtsp::reply> rep = client.issue_request(req);
        client.close_connection();
        pool.stop();
        if (!rep) {
            std::fprintf(stderr, "httprtsp_get: no reply from %s\n", t.authority.c_str());
            return 1;
        }
        if (rep->body() && !rep->body()->empty())
            std::fwrite(rep->body()->data(), 1, rep->body()->size(), stdout);
        std::fflush(stdout);
        if (rep->status() < 200 || rep->status() > 299) {
            std::fprintf(stderr, "httprtsp_get: status %u\n", static_cast<unsigned>(rep->status()));
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "httprtsp_get: %s\n", e.what());
        return 1;
    }
}
