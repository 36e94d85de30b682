// httprtsp_serve: a small HTTP server on the httprtsp library. Prints the bound port on the
// first line of standard output, then serves until SIGINT or SIGTERM.
//
//   httprtsp_serve [--address A] [--port N] [--upload-uri U] [--upload-file F] [--threads N]
//                  [--no-digest]
//
// Routes: the upload URI (multipart POSTs streamed into the upload file, answered with
// "<size> <sha256>"), "/echo" (the request's body echoed back); anything else gets 404.
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/request_handler.hpp"
#include "httprtsp/src/server.hpp"
#include "tools/httprtsp_serve/handlers.hpp"
#include "velquin_version.h"

#include <boost/make_shared.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <pthread.h>
#include <signal.h>

namespace {

const char usage[] =
    "usage: httprtsp_serve [--address A] [--port N] [--upload-uri U] [--upload-file F] [--threads N]\n"
    "                      [--no-digest]\n"
    "  --address A      address to listen on (default 127.0.0.1)\n"
    "  --port N         port, 0 for any free one (default 0); printed on the first line\n"
    "  --upload-uri U   URI whose multipart POSTs are streamed to the file (default /upload)\n"
    "  --upload-file F  file receiving the upload (default /tmp/httprtsp_serve.upload)\n"
    "  --threads N      I/O threads (default 3)\n"
    "  --no-digest      answer an upload with its size only, without SHA-256\n"
    "  --help           this text\n"
    "  --version        the version\n";

bool parse_number(const char* text, unsigned long max, unsigned long& out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (!*text || *end || v > max || text[0] == '-')
        return false;
    out = v;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string address = "127.0.0.1";
    unsigned long port = 0;
    unsigned long threads = 3;
    std::string upload_uri = "/upload";
    std::string upload_file = "/tmp/httprtsp_serve.upload";
    bool digest = true;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("httprtsp_serve %s\n", VELQUIN_VERSION);
            return 0;
        } else if (arg == "--address" && has_value) {
            address = argv[++i];
        } else if (arg == "--port" && has_value) {
            if (!parse_number(argv[++i], 65535, port)) {
                std::fputs(usage, stderr);
                return 1;
            }
        } else if (arg == "--threads" && has_value) {
            if (!parse_number(argv[++i], 64, threads) || threads == 0) {
                std::fputs(usage, stderr);
                return 1;
            }
        } else if (arg == "--upload-uri" && has_value) {
            upload_uri = argv[++i];
        } else if (arg == "--upload-file" && has_value) {
            upload_file = argv[++i];
        } else if (arg == "--no-digest") {
            digest = false;
        } else {
            std::fputs(usage, stderr);
            return 1;
        }
    }

    // The signals are taken by sigwait below; pool threads inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        io_service_pool pool(threads);
        boost::shared_ptr<httprtsp::request_handler> router =
            boost::make_shared<httprtsp::request_handler>();
        boost::shared_ptr<httprtsp_serve::file_upload_handler> uploads =
            boost::make_shared<httprtsp_serve::file_upload_handler>(upload_uri, upload_file, stdout,
                                                                    digest);
        router->add_route(upload_uri, uploads);
        router->add_route("/echo", boost::make_shared<httprtsp_serve::echo_handler>());
        boost::shared_ptr<httprtsp_serve::upload_front> front =
            boost::make_shared<httprtsp_serve::upload_front>(router, uploads);

        httprtsp::server server(pool.get_io_service(), front, address,
                                static_cast<std::uint16_t>(port));
        std::printf("%u\n", static_cast<unsigned>(server.port()));
        std::fflush(stdout);

        int received = 0;
        sigwait(&signals, &received);
        server.stop();
        pool.stop();
    } catch (std::exception& e) {
        std::fprintf(stderr, "httprtsp_serve: %s\n", e.what());
        return 1;
    }
    return 0;
}
