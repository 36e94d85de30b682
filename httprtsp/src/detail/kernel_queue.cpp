#include "httprtsp/src/detail/kernel_queue.hpp"

#if defined(__linux__)
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

namespace httprtsp {
namespace detail {

std::size_t unsent_in_kernel(boost::asio::ip::tcp::socket& socket) {
#if defined(__linux__)
    int queued = 0;
    if (socket.is_open() && ::ioctl(socket.native_handle(), SIOCOUTQ, &queued) == 0 && queued > 0)
        return static_cast<std::size_t>(queued);
#else
    (void)socket;
#endif
    return 0;
}

} // namespace detail
} // namespace httprtsp
