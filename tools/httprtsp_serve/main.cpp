// httprtsp_serve: a small HTTP server on the httprtsp library. Prints the bound port on the
// first line of standard output, then serves until SIGINT or SIGTERM.
//
//   httprtsp_serve [--address A] [--port N] [--upload-uri U] [--upload-file F] [--threads N]
//                  [--no-digest] [--max-upload BYTES] [--header-timeout S] [--body-timeout S]
//                  [--idle-timeout S]
//
// Routes: the upload URI (multipart POSTs streamed into the upload file, answered with
// "<size> <sha256>"), "/echo" (the request's body echoed back); anything else gets 404.
#include "httprtsp/src/io_service_helper.hpp"
#include "httprtsp/src/request_handler.hpp"
#include "httprtsp/src/server.hpp"
#include "tools/httprtsp_serve/handlers.hpp"
#include "velquin_version.h"

#include <boost/make_shared.hpp>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <pthread.h>
#include <signal.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

const char usage[] =
    "usage: httprtsp_serve [--address A] [--port N] [--upload-uri U] [--upload-file F] [--threads N]\n"
    "                      [--no-digest] [--max-upload BYTES] [--header-timeout S]\n"
    "                      [--body-timeout S] [--idle-timeout S]\n"
    "  --address A      address to listen on (default 127.0.0.1)\n"
    "  --port N         port, 0 for any free one (default 0); printed on the first line\n"
    "  --upload-uri U   URI whose multipart POSTs are streamed to the file (default /upload)\n"
    "  --upload-file F  file receiving the upload (default /tmp/httprtsp_serve.upload)\n"
    "  --threads N      I/O threads (default 3)\n"
    "  --no-digest      answer an upload with its size only, without SHA-256\n"
    "  --max-upload BYTES  largest upload stored; a larger one is removed and answered 413\n"
    "                   (default: no limit)\n"
    "  --header-timeout S  seconds from a request's first byte to the end of its headers (60)\n"
    "  --body-timeout S    seconds a request body or a queued reply may stand still (60)\n"
    "  --idle-timeout S    seconds a connection may wait for its next request (75)\n"
    "  --help           this text\n"
    "  --version        the version\n";

// Decimal digits only, within [min, max].
template <typename Number>
bool parse_number(const char* text, Number min, Number max, Number& out) {
    if (!*text)
        return false;
    unsigned long long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (digit > max || v > (max - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    if (v < min)
        return false;
    out = static_cast<Number>(v);
    return true;
}

bool parse_seconds(const char* text, std::chrono::milliseconds& out) {
    unsigned long seconds = 0;
    if (!parse_number(text, 1ul, 86400ul, seconds))
        return false;
    out = std::chrono::seconds(seconds);
    return true;
}

struct options {
    std::string address = "127.0.0.1";
    unsigned long port = 0;
    unsigned long threads = 3;
    std::string upload_uri = "/upload";
    std::string upload_file = "/tmp/httprtsp_serve.upload";
    bool digest = true;
    std::uint64_t max_upload = 0;
    httprtsp::connection::server_limits limits;
};

// Reads one option and its value; false for an unknown option or a bad value.
bool read_option(const std::string& arg, const char* value, options& opts, bool& took_value) {
    took_value = value != nullptr;
    if (arg == "--no-digest") {
        took_value = false;
        opts.digest = false;
        return true;
    }
    if (!value)
        return false;
    if (arg == "--address")
        opts.address = value;
    else if (arg == "--upload-uri")
        opts.upload_uri = value;
    else if (arg == "--upload-file")
        opts.upload_file = value;
    else if (arg == "--port")
        return parse_number(value, 0ul, 65535ul, opts.port);
    else if (arg == "--threads")
        return parse_number(value, 1ul, 64ul, opts.threads);
    else if (arg == "--max-upload")
        return parse_number(value, std::uint64_t(1), ~std::uint64_t(0), opts.max_upload);
    else if (arg == "--header-timeout")
        return parse_seconds(value, opts.limits.header_timeout);
    else if (arg == "--body-timeout")
        return parse_seconds(value, opts.limits.body_timeout);
    else if (arg == "--idle-timeout")
        return parse_seconds(value, opts.limits.idle_timeout);
    else
        return false;
    return true;
}

// Serves until SIGINT or SIGTERM (blocked in the caller, so that the pool threads inherit
// the mask and the signal reaches sigwait here).
void serve(const options& opts, sigset_t& signals) {
    io_service_pool pool(opts.threads);
    boost::shared_ptr<httprtsp::request_handler> router =
        boost::make_shared<httprtsp::request_handler>();
    boost::shared_ptr<httprtsp_serve::file_upload_handler> uploads =
        boost::make_shared<httprtsp_serve::file_upload_handler>(opts.upload_uri, opts.upload_file,
                                                                stdout, opts.digest);
    uploads->set_max_upload_size(opts.max_upload);
    router->add_route(opts.upload_uri, uploads);
    router->add_route("/echo", boost::make_shared<httprtsp_serve::echo_handler>());
    boost::shared_ptr<httprtsp_serve::upload_front> front =
        boost::make_shared<httprtsp_serve::upload_front>(router, uploads);

    httprtsp::server server(pool.get_io_service(), front, opts.address,
                            static_cast<std::uint16_t>(opts.port));
    server.set_connection_limits(opts.limits);
    std::printf("%u\n", static_cast<unsigned>(server.port()));
    std::fflush(stdout);

    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    pool.stop();
}

} // namespace

int main(int argc, char** argv) {
    options opts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("httprtsp_serve %s\n", VELQUIN_VERSION);
            return 0;
        }
        bool took_value = false;
        if (!read_option(arg, i + 1 < argc ? argv[i + 1] : nullptr, opts, took_value)) {
            std::fputs(usage, stderr);
            return 1;
        }
        if (took_value)
            ++i;
    }

#if defined(__GLIBC__)
    // Request bodies grow by doubling up to 64 MiB and are freed whole. With glibc's sliding
    // threshold, freed pieces of up to 32 MiB would stay in its arenas, beyond the body
    // budget; a fixed one gives every piece of a mebibyte or more back to the system at once.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        serve(opts, signals);
    } catch (std::exception& e) {
        std::fprintf(stderr, "httprtsp_serve: %s\n", e.what());
        return 1;
    }
    return 0;
}
