/// \file
/// The pool of threads running the I/O service (and, through log.hpp, the library's log lines).
#ifndef HTTPRTSP_IO_SERVICE_HELPER_HPP
#define HTTPRTSP_IO_SERVICE_HELPER_HPP

#include "httprtsp/src/log.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>

#include <cstddef>
#include <string>
#include <vector>

/// Body of every pool thread: names the thread, runs the service until it is stopped, and
/// logs and survives whatever a completion handler throws.
void run_io_service(boost::shared_ptr<boost::asio::io_service> io_service,
                    const std::string& thread_name);

/// The I/O service, kept busy by a work guard, run by n threads named "IO0", "IO1", ... (the
/// number counts threads of every pool in the process).
class io_service_pool : private boost::noncopyable {
public:
    /// Starts the threads at once.
    explicit io_service_pool(std::size_t threads);
    /// stop(), then releases the work guard and the service.
    ~io_service_pool();

    /// For clients, servers and connections; it outlives the pool while they hold it.
    boost::shared_ptr<boost::asio::io_service> get_io_service() const { return io_service; }
    /// Stops the service (pending handlers are not run) and joins every thread in creation
    /// order. Call it from outside the pool.
    void stop();

private:
    boost::shared_ptr<boost::asio::io_service> io_service;
    boost::shared_ptr<boost::asio::io_service::work> work;
    std::vector<boost::shared_ptr<boost::thread>> threads;
};

#endif
