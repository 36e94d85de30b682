// The IPC stand-in across two real processes: this test program on one side,
// platform_ipc_peer (see ipc_peer.cpp) on the other.
#include "tests/support/private_root.hpp"
#include "platform/device_log/vq_log.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const uint32_t kOurNode = 15;
const uint32_t kPeerNode = 14;

std::string g_root_path;
const auto* const g_root = ::testing::AddGlobalTestEnvironment(
    new platform_testing::private_root("vq_ipc_test", g_root_path));

std::string channel_name() {
    return std::string("t_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::unique_ptr<vq_testing::child_process>
start_peer(const std::string& channel, uint32_t local = kPeerNode, uint32_t remote = kOurNode) {
    auto peer = std::make_unique<vq_testing::child_process>(std::vector<std::string>{
        PLATFORM_IPC_PEER, channel, std::to_string(local), std::to_string(remote)});
    std::string line;
    EXPECT_TRUE(peer->started());
    EXPECT_TRUE(peer->read_line(line));
    EXPECT_EQ(line, "ready");
    return peer;
}

// Our side's callback: answers 902 (the peer's call back into us) and can
// itself call the peer again while the peer waits for us.
struct OurSide {
    uintptr_t handle = 0;
    std::atomic<int> calls{0};
    std::atomic<bool> call_peer_again{false};
    std::atomic<bool> destroy_from_callback{false};

    static int32_t callback(void* user, uint32_t id, const void* in, uint32_t in_size, void* out,
                            uint32_t* out_size) {
        auto* self = static_cast<OurSide*>(user);
        self->calls++;
        if (self->destroy_from_callback) {
            *out_size = 0;
            return KSAL_IPC_destroy(self->handle) == KSAL_IPC_OK ? 77 : -77;
        }
        if (self->call_peer_again && in_size > 0) {
            // The peer is blocked in its own callback waiting for us; it must
            // still serve this nested message.
            int32_t err = 0;
            uint32_t cap = *out_size;
            int32_t rc = KSAL_IPC_SendIOCTL(self->handle, 7, in, in_size, out, cap, &err);
            *out_size = rc == KSAL_IPC_OK ? in_size : 0;
            return rc == KSAL_IPC_OK ? err + 1000 : rc;
        }
        uint32_t n = in_size < *out_size ? in_size : *out_size;
        for (uint32_t i = 0; i < n; ++i)
            static_cast<unsigned char*>(out)[i] = static_cast<const unsigned char*>(in)[n - 1 - i];
        *out_size = n;
        return static_cast<int32_t>(id) + 10000;
    }

    int32_t open(const std::string& channel, uint32_t local = kOurNode,
                 uint32_t remote = kPeerNode) {
        return KSAL_IPC_init_ex(local, remote, &OurSide::callback, this, channel.c_str(), &handle);
    }
    ~OurSide() {
        if (handle != 0 && !destroy_from_callback)
            KSAL_IPC_destroy(handle);
    }
};

TEST(IpcAcrossProcessesTest, ResultAndReplyBytesComeBackForEveryPayloadSize) {
    auto peer = start_peer(channel_name());
    OurSide us;
    ASSERT_EQ(us.open(channel_name()), KSAL_IPC_OK);
    ASSERT_NE(us.handle, 0u);

    struct Case {
        uint32_t payload;
        uint32_t out_size;
        uint32_t expect_copied;
    };
    // The peer echoes the payload into a reply buffer of at least 4096 bytes.
    const Case cases[] = {
        {0, 0, 0},          {1, 16, 1},         {260, 260, 260},      {516, 100, 100},
        {4096, 4096, 4096}, {6000, 8192, 6000}, {70000, 70000, 70000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        std::vector<unsigned char> in(c.payload);
        for (uint32_t i = 0; i < c.payload; ++i)
            in[i] = static_cast<unsigned char>(i * 7 + c.payload);
        // Guard bytes after the caller's buffer must stay untouched.
        std::vector<unsigned char> out(c.out_size + 8, 0xEE);
        int32_t err = 12345;
        ASSERT_EQ(KSAL_IPC_SendIOCTL(us.handle, 42, in.empty() ? nullptr : in.data(), c.payload,
                                     c.out_size ? out.data() : nullptr, c.out_size, &err),
                  KSAL_IPC_OK);
        EXPECT_EQ(err, 42);
        if (c.expect_copied > 0) {
            EXPECT_EQ(0, std::memcmp(out.data(), in.data(), c.expect_copied));
        }
        for (uint32_t i = c.out_size; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0xEE) << "byte " << i << " written past the caller's buffer";
    }
}

TEST(IpcAcrossProcessesTest, CallbackSeesNullPayloadAndAtLeast4096BytesOfReplyRoom) {
    auto peer = start_peer(channel_name());
    OurSide us;
    ASSERT_EQ(us.open(channel_name()), KSAL_IPC_OK);
    struct Case {
        const void* in;
        uint32_t in_size;
        uint32_t out_size;
        uint32_t capacity;
        uint32_t null_payload;
    };
    const char byte = 'x';
    const Case cases[] = {
        {nullptr, 0, 8, 4096, 1}, {&byte, 1, 8, 4096, 0}, {nullptr, 0, 10000, 10000, 1}};
    for (const Case& c : cases) {
        std::vector<uint32_t> out(c.out_size / 4, 0);
        int32_t err = -1;
        ASSERT_EQ(KSAL_IPC_SendIOCTL(us.handle, 903, c.in, c.in_size, out.data(), c.out_size, &err),
                  KSAL_IPC_OK);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(out[0], c.capacity);
        EXPECT_EQ(out[1], c.null_payload);
    }
}

TEST(IpcAcrossProcessesTest, ConcurrentSendersEachGetTheirOwnAnswer) {
    auto peer = start_peer(channel_name());
    OurSide us;
    ASSERT_EQ(us.open(channel_name()), KSAL_IPC_OK);

    const int kThreads = 8;
    const int kSends = 40;
    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kSends; ++i) {
                // Every few messages one is slow, so exchanges overlap.
                uint32_t id = (i % 10 == 3) ? 900 : static_cast<uint32_t>(1000 + t);
                std::string payload =
                    "thread " + std::to_string(t) + " message " + std::to_string(i);
                char out[64] = {};
                int32_t err = 0;
                int32_t rc = KSAL_IPC_SendIOCTL(us.handle, id, payload.data(),
                                                static_cast<uint32_t>(payload.size()), out,
                                                sizeof out, &err);
                if (rc != KSAL_IPC_OK)
                    failures++;
                else if (err != static_cast<int32_t>(id) ||
                         payload != std::string(out, payload.size()))
                    mismatches++;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(IpcAcrossProcessesTest, CallbacksMaySendOnTheirOwnChannelBothWays) {
    auto peer = start_peer(channel_name());
    OurSide us;
    ASSERT_EQ(us.open(channel_name()), KSAL_IPC_OK);

    // We send 901; the peer's callback sends 902 back to us and waits; our
    // callback answers it (reversed payload).
    const std::string payload = "abcdef";
    char out[16] = {};
    int32_t err = 0;
    ASSERT_EQ(KSAL_IPC_SendIOCTL(us.handle, 901, payload.data(), 6, out, sizeof out, &err),
              KSAL_IPC_OK);
    EXPECT_EQ(err, 902 + 10000);
    EXPECT_EQ(std::string(out, 6), "fedcba");

    // One level deeper: our callback, while the peer waits for it, calls the
    // peer again (7 is echoed with result 7).
    us.call_peer_again = true;
    std::memset(out, 0, sizeof out);
    ASSERT_EQ(KSAL_IPC_SendIOCTL(us.handle, 901, payload.data(), 6, out, sizeof out, &err),
              KSAL_IPC_OK);
    EXPECT_EQ(err, 1007);
    EXPECT_EQ(std::string(out, 6), payload);
    EXPECT_EQ(us.calls.load(), 2);
}

TEST(IpcFailuresTest, SendsFailAtOnceWithoutAPeerOrAHandle) {
    OurSide us;
    ASSERT_EQ(us.open(channel_name()), KSAL_IPC_OK);
    int32_t err = 5;
    char in[4] = {1, 2, 3, 4};
    EXPECT_EQ(KSAL_IPC_SendIOCTL(us.handle, 100, in, 4, nullptr, 0, &err), KSAL_IPC_E_NO_PEER);
    EXPECT_EQ(err, -1);
    EXPECT_EQ(KSAL_IPC_SendIOCTL(0, 100, nullptr, 0, nullptr, 0, &err), KSAL_IPC_E_BAD_HANDLE);
    EXPECT_EQ(KSAL_IPC_SendIOCTL(us.handle + 1000, 100, nullptr, 0, nullptr, 0, &err),
              KSAL_IPC_E_BAD_HANDLE);
    // Malformed calls are refused before anything is sent.
    EXPECT_EQ(KSAL_IPC_SendIOCTL(us.handle, 100, nullptr, 4, nullptr, 0, &err),
              KSAL_IPC_E_BAD_ARGUMENT);
    EXPECT_EQ(KSAL_IPC_SendIOCTL(us.handle, 100, in, 4, nullptr, 8, &err), KSAL_IPC_E_BAD_ARGUMENT);
    EXPECT_EQ(
        KSAL_IPC_SendIOCTL(us.handle, 100, in, KSAL_IPC_MAX_MESSAGE_SIZE + 1, nullptr, 0, &err),
        KSAL_IPC_E_BAD_ARGUMENT);

    uintptr_t h = 99;
    EXPECT_EQ(KSAL_IPC_init_ex(1, 2, nullptr, nullptr, nullptr, &h), KSAL_IPC_E_BAD_ARGUMENT);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(KSAL_IPC_init_ex(1, 2, nullptr, nullptr, "", &h), KSAL_IPC_E_BAD_ARGUMENT);
    EXPECT_EQ(KSAL_IPC_init_ex(3, 3, nullptr, nullptr, "same_node", &h), KSAL_IPC_E_BAD_ARGUMENT);
    EXPECT_EQ(KSAL_IPC_init_ex(1, 2, nullptr, nullptr, "x", nullptr), KSAL_IPC_E_BAD_ARGUMENT);
    EXPECT_EQ(KSAL_IPC_destroy(0), KSAL_IPC_E_BAD_HANDLE);
}

TEST(IpcFailuresTest, OneChannelAndNodeIsOpenOnlyOnce) {
    OurSide a, b;
    ASSERT_EQ(a.open(channel_name()), KSAL_IPC_OK);
    EXPECT_EQ(b.open(channel_name()), KSAL_IPC_E_IN_USE);
    EXPECT_EQ(b.handle, 0u);
    // Once closed, the same channel and node can be opened again.
    ASSERT_EQ(KSAL_IPC_destroy(a.handle), KSAL_IPC_OK);
    a.handle = 0;
    EXPECT_EQ(b.open(channel_name()), KSAL_IPC_OK);
}

TEST(IpcFailuresTest, MessagesBetweenMismatchedNodesAreRefused) {
    // The peer listens on our remote node but expects a different partner.
    auto peer = start_peer(channel_name(), kPeerNode, 99);
    OurSide us;
    ASSERT_EQ(us.open(channel_name()), KSAL_IPC_OK);
    int32_t err = 0;
    EXPECT_EQ(KSAL_IPC_SendIOCTL(us.handle, 1, nullptr, 0, nullptr, 0, &err), KSAL_IPC_E_REJECTED);
    EXPECT_EQ(err, -1);
}

TEST(IpcFailuresTest, APeerThatEndsFailsTheSendAndARestartedPeerIsReached) {
    const std::string channel = channel_name();
    OurSide us;
    ASSERT_EQ(us.open(channel), KSAL_IPC_OK);
    int32_t err = 0;
    {
        auto peer = start_peer(channel);
        ASSERT_EQ(KSAL_IPC_SendIOCTL(us.handle, 5, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
        // 904 ends the peer process inside its callback: no answer ever comes.
        EXPECT_NE(KSAL_IPC_SendIOCTL(us.handle, 904, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
        EXPECT_EQ(peer->wait(), 0);
    }
    // The dead peer's socket file is still there; sending reaches nobody.
    EXPECT_NE(KSAL_IPC_SendIOCTL(us.handle, 5, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
    // A new peer replaces the stale socket; our idle connections to the old
    // one must not be used for it.
    auto peer = start_peer(channel);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(KSAL_IPC_SendIOCTL(us.handle, 6, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
        EXPECT_EQ(err, 6);
    }
}

// Idle connections to a peer that has ended since are left behind in the
// pool; the first send to its successor must not take one of them.
TEST(IpcFailuresTest, StaleIdleConnectionsToAnEndedPeerAreNotReused) {
    const std::string channel = channel_name();
    OurSide us;
    ASSERT_EQ(us.open(channel), KSAL_IPC_OK);
    {
        auto peer = start_peer(channel);
        // Two exchanges at once (900 answers after 300 ms): two idle connections.
        std::thread second([&] {
            int32_t err = 0;
            EXPECT_EQ(KSAL_IPC_SendIOCTL(us.handle, 900, nullptr, 0, nullptr, 0, &err),
                      KSAL_IPC_OK);
        });
        int32_t err = 0;
        EXPECT_EQ(KSAL_IPC_SendIOCTL(us.handle, 900, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
        second.join();
        peer->stop();
    }
    auto peer = start_peer(channel);
    int32_t err = 0;
    ASSERT_EQ(KSAL_IPC_SendIOCTL(us.handle, 6, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
    EXPECT_EQ(err, 6);
}

TEST(IpcLifecycleTest, DestroyWhileIdleStopsDeliveryAndInvalidatesTheHandle) {
    const std::string channel = channel_name();
    // The peer side here is a second channel in this process: the checks are
    // about our own delivery threads.
    OurSide us, other;
    ASSERT_EQ(us.open(channel), KSAL_IPC_OK);
    ASSERT_EQ(other.open(channel, kPeerNode, kOurNode), KSAL_IPC_OK);
    int32_t err = 0;
    ASSERT_EQ(KSAL_IPC_SendIOCTL(other.handle, 3, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
    EXPECT_EQ(us.calls.load(), 1);

    const uintptr_t old = us.handle;
    ASSERT_EQ(KSAL_IPC_destroy(us.handle), KSAL_IPC_OK);
    us.handle = 0;
    EXPECT_EQ(KSAL_IPC_destroy(old), KSAL_IPC_E_BAD_HANDLE);
    EXPECT_EQ(KSAL_IPC_SendIOCTL(old, 3, nullptr, 0, nullptr, 0, &err), KSAL_IPC_E_BAD_HANDLE);
    // The other side's reused connection to us is gone too.
    EXPECT_NE(KSAL_IPC_SendIOCTL(other.handle, 3, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
    EXPECT_EQ(us.calls.load(), 1);
}

TEST(IpcLifecycleTest, DestroyEndsASendStillWaitingForItsAnswer) {
    auto peer = start_peer(channel_name());
    OurSide us;
    ASSERT_EQ(us.open(channel_name()), KSAL_IPC_OK);
    std::atomic<int32_t> rc{1};
    std::atomic<bool> sending{false};
    std::chrono::steady_clock::time_point started, returned;
    std::thread sender([&] {
        int32_t err = 0;
        started = std::chrono::steady_clock::now();
        sending = true;
        // 900 keeps the peer busy for 300 ms before it answers.
        rc = KSAL_IPC_SendIOCTL(us.handle, 900, nullptr, 0, nullptr, 0, &err);
        returned = std::chrono::steady_clock::now();
    });
    while (!sending)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(KSAL_IPC_destroy(us.handle), KSAL_IPC_OK);
    us.handle = 0;
    sender.join();
    // Cut off, not answered: it returned before the peer could have answered.
    EXPECT_TRUE(rc == KSAL_IPC_E_IO || rc == KSAL_IPC_E_BAD_HANDLE) << rc;
    EXPECT_LT(returned - started, std::chrono::milliseconds(300));
}

TEST(IpcLifecycleTest, ACallbackMayDestroyItsOwnChannel) {
    const std::string channel = channel_name();
    OurSide us, other;
    ASSERT_EQ(us.open(channel), KSAL_IPC_OK);
    ASSERT_EQ(other.open(channel, kPeerNode, kOurNode), KSAL_IPC_OK);
    us.destroy_from_callback = true;
    int32_t err = 0;
    // The channel closes under the answer, which still reaches the sender.
    ASSERT_EQ(KSAL_IPC_SendIOCTL(other.handle, 3, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
    EXPECT_EQ(err, 77);
    EXPECT_EQ(us.calls.load(), 1);
    EXPECT_NE(KSAL_IPC_SendIOCTL(other.handle, 3, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
    EXPECT_EQ(us.calls.load(), 1);
}

TEST(IpcLifecycleTest, ASendOnlySideRefusesIncomingMessages) {
    const std::string channel = channel_name();
    uintptr_t send_only = 0;
    ASSERT_EQ(KSAL_IPC_init_ex(kOurNode, kPeerNode, nullptr, nullptr, channel.c_str(), &send_only),
              KSAL_IPC_OK);
    OurSide other;
    ASSERT_EQ(other.open(channel, kPeerNode, kOurNode), KSAL_IPC_OK);
    int32_t err = 0;
    EXPECT_EQ(KSAL_IPC_SendIOCTL(other.handle, 3, nullptr, 0, nullptr, 0, &err),
              KSAL_IPC_E_REJECTED);
    EXPECT_EQ(KSAL_IPC_SendIOCTL(send_only, 3, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
    EXPECT_EQ(err, 3 + 10000);
    EXPECT_EQ(KSAL_IPC_destroy(send_only), KSAL_IPC_OK);
}

// A connection to our channel's socket that the test drives byte by byte.
int raw_connection(const std::string& channel) {
    const std::string path =
        g_root_path + "/tmp/ksal_ipc/" + channel + "." + std::to_string(kOurNode);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    // No read in these tests waits longer than this.
    const timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

TEST(IpcHostilePeersTest, IdleConnectionsNeverLockOutASender) {
    const std::string channel = channel_name();
    OurSide us, other;
    ASSERT_EQ(us.open(channel), KSAL_IPC_OK);
    ASSERT_EQ(other.open(channel, kPeerNode, kOurNode), KSAL_IPC_OK);
    // More idle connections than the channel serves at once.
    std::vector<int> idle;
    for (int i = 0; i < 300; ++i) {
        const int fd = raw_connection(channel);
        ASSERT_GE(fd, 0) << i;
        idle.push_back(fd);
    }
    for (int round = 0; round < 3; ++round) {
        int32_t err = 0;
        ASSERT_EQ(KSAL_IPC_SendIOCTL(other.handle, 5, "abc", 3, nullptr, 0, &err), KSAL_IPC_OK)
            << round;
        EXPECT_EQ(err, 10005);
    }
    EXPECT_EQ(us.calls.load(), 3);
    // Idle connections made room, at least one for each connection past the
    // 256 served at once: the channel has closed them already.
    std::vector<pollfd> polls;
    for (int fd : idle)
        polls.push_back(pollfd{fd, POLLIN, 0});
    ASSERT_GE(::poll(polls.data(), polls.size(), 0), 300 - 256 + 1);
    for (int fd : idle)
        ::close(fd);
}

TEST(IpcHostilePeersTest, ARequestThatNeverCompletesIsDropped) {
    KSAL_IPC_set_timeouts(200, 0);
    const std::string channel = channel_name();
    OurSide us;
    ASSERT_EQ(us.open(channel), KSAL_IPC_OK);
    const int silent = raw_connection(channel);
    const int partial = raw_connection(channel);
    ASSERT_GE(silent, 0);
    ASSERT_GE(partial, 0);
    ASSERT_EQ(::send(partial, "KSI", 3, MSG_NOSIGNAL), 3);
    // Each is closed by the channel (a time-out of our own read would be -1).
    char byte = 0;
    EXPECT_EQ(::recv(silent, &byte, 1, 0), 0);
    EXPECT_EQ(::recv(partial, &byte, 1, 0), 0);
    EXPECT_EQ(us.calls.load(), 0);
    ::close(silent);
    ::close(partial);
    KSAL_IPC_set_timeouts(0, 0);
}

TEST(IpcHostilePeersTest, ASendGivesUpOnAPeerThatDoesNotAnswer) {
    auto peer = start_peer(channel_name());
    OurSide us;
    ASSERT_EQ(us.open(channel_name()), KSAL_IPC_OK);
    // The peer answers 900 after 300 ms; we wait 100.
    KSAL_IPC_set_timeouts(0, 100);
    int32_t err = 0;
    EXPECT_EQ(KSAL_IPC_SendIOCTL(us.handle, 900, nullptr, 0, nullptr, 0, &err), KSAL_IPC_E_TIMEOUT);
    EXPECT_EQ(err, -1);
    KSAL_IPC_set_timeouts(0, 0);
    // The late answer does not pass for the next message's.
    ASSERT_EQ(KSAL_IPC_SendIOCTL(us.handle, 12, "x", 1, nullptr, 0, &err), KSAL_IPC_OK);
    EXPECT_EQ(err, 12);
}

// A request header as the channel's wire carries it.
struct forged_header {
    uint32_t magic, msg_id, src_node, dst_node, in_size, out_capacity;
};

// Claimed sizes are checked before anything is read or allocated: at the
// limit the request is served, one past it the connection is dropped at once
// (not after the frame time-out) with one log line. The OEM UI channel's limit
// is its catalogue's largest message (516 bytes, 256 of reply).
TEST(IpcHostilePeersTest, ClaimsPastTheMessageLimitAreDroppedAndLogged) {
    const uint32_t kMax = KSAL_IPC_MAX_MESSAGE_SIZE;
    struct Case {
        const char* channel;
        uint32_t in_size, out_capacity;
        bool served;
    } const cases[] = {
        {"t_claims", kMax, 0, true},
        {"t_claims", kMax + 1, 0, false},
        {"t_claims", 0, kMax + 1, false},
        {"IPC_oem_ui2Hul", 516, 256, true},
        {"IPC_oem_ui2Hul", 517, 0, false},
        {"IPC_oem_ui2Hul", 0, 257, false},
        {"IPC_oem_ui2Hul", 0xffffffff, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.channel) + " " + std::to_string(c.in_size) + " " +
                     std::to_string(c.out_capacity));
        OurSide us;
        ASSERT_EQ(us.open(c.channel), KSAL_IPC_OK);
        vq_log_capture log;
        const int fd = raw_connection(c.channel);
        ASSERT_GE(fd, 0);
        const forged_header h{0x4b534931, 3, kPeerNode, kOurNode, c.in_size, c.out_capacity};
        ASSERT_EQ(::send(fd, &h, sizeof h, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof h));
        if (c.served) {
            const std::vector<char> payload(c.in_size, 'p');
            std::size_t sent = 0;
            while (sent < payload.size()) {
                const ssize_t n =
                    ::send(fd, payload.data() + sent, payload.size() - sent, MSG_NOSIGNAL);
                ASSERT_GT(n, 0);
                sent += static_cast<std::size_t>(n);
            }
        }
        uint32_t reply[4] = {};
        const ssize_t n = ::recv(fd, reply, sizeof reply, MSG_WAITALL);
        if (c.served) {
            ASSERT_EQ(n, static_cast<ssize_t>(sizeof reply));
            EXPECT_EQ(reply[1], 0u); // delivered
            EXPECT_EQ(us.calls.load(), 1);
        } else {
            EXPECT_EQ(n, 0) << "the connection was not closed at once";
            EXPECT_EQ(us.calls.load(), 0);
            ASSERT_EQ(log.records().size(), 1u);
            EXPECT_NE(log.records()[0].message.find("past its"), std::string::npos);
        }
        ::close(fd);
    }
}

// A peer that does not wait for each answer: requests that arrive in one read
// are each answered, in turn.
TEST(IpcHostilePeersTest, RequestsSentWithoutWaitingAreAnsweredInTurn) {
    OurSide us;
    ASSERT_EQ(us.open(channel_name()), KSAL_IPC_OK);
    const int fd = raw_connection(channel_name());
    ASSERT_GE(fd, 0);
    std::vector<char> bytes;
    for (uint32_t id : {21u, 22u, 23u}) {
        const forged_header h{0x4b534931, id, kPeerNode, kOurNode, 3, 3};
        bytes.insert(bytes.end(), reinterpret_cast<const char*>(&h),
                     reinterpret_cast<const char*>(&h) + sizeof h);
        bytes.insert(bytes.end(), {'a', 'b', 'c'});
    }
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
    for (int32_t id : {21, 22, 23}) {
        struct {
            uint32_t magic, status;
            int32_t result;
            uint32_t size;
            char reply[3];
        } r;
        ASSERT_EQ(::recv(fd, &r, sizeof r.magic * 4 + 3, MSG_WAITALL), 19) << id;
        EXPECT_EQ(r.result, id + 10000);
        EXPECT_EQ(std::string(r.reply, 3), "cba");
    }
    ::close(fd);
}

// Callbacks that never return hold at most a bounded number of deliveries:
// later messages are refused one by one instead of waiting behind them, the
// channel answers again once they return, and a close does not wait for ever.
TEST(IpcHostilePeersTest, HangingDeliveriesNeitherDeafenTheChannelNorBlockItsClose) {
    static std::mutex gate;
    static std::condition_variable opened;
    static bool open_gate = false;
    static std::atomic<int> inside{0};
    struct Hanging {
        static int32_t callback(void*, uint32_t id, const void*, uint32_t, void*, uint32_t* n) {
            *n = 0;
            if (id == 950) {
                inside++;
                std::unique_lock<std::mutex> lk(gate);
                opened.wait(lk, [] { return open_gate; });
                inside--;
            }
            return static_cast<int32_t>(id);
        }
    };
    const std::string channel = channel_name();
    uintptr_t hanging = 0;
    ASSERT_EQ(KSAL_IPC_init_ex(kOurNode, kPeerNode, &Hanging::callback, nullptr, channel.c_str(),
                               &hanging),
              KSAL_IPC_OK);
    OurSide other;
    ASSERT_EQ(other.open(channel, kPeerNode, kOurNode), KSAL_IPC_OK);
    auto release = [&] {
        std::lock_guard<std::mutex> lk(gate);
        open_gate = true;
        opened.notify_all();
    };
    std::vector<std::thread> senders;
    std::atomic<int> refused{0};
    for (int i = 0; i < 40; ++i)
        senders.emplace_back([&] {
            int32_t err = 0;
            if (KSAL_IPC_SendIOCTL(other.handle, 950, nullptr, 0, nullptr, 0, &err) ==
                KSAL_IPC_E_REJECTED)
                refused++;
        });
    // 32 hang; the other 8 come back refused without waiting.
    while (refused.load() < 8 && inside.load() <= 32)
        std::this_thread::yield();
    EXPECT_EQ(refused.load(), 8);
    int32_t err = 0;
    EXPECT_EQ(KSAL_IPC_SendIOCTL(other.handle, 7, nullptr, 0, nullptr, 0, &err),
              KSAL_IPC_E_REJECTED);
    release();
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(KSAL_IPC_SendIOCTL(other.handle, 7, nullptr, 0, nullptr, 0, &err), KSAL_IPC_OK);
    EXPECT_EQ(err, 7);

    // Hanging again, then closed: the close returns though callbacks still run.
    {
        std::lock_guard<std::mutex> lk(gate);
        open_gate = false;
    }
    std::thread stuck([&] {
        int32_t e = 0;
        KSAL_IPC_SendIOCTL(other.handle, 950, nullptr, 0, nullptr, 0, &e);
    });
    while (inside.load() == 0)
        std::this_thread::yield();
    auto closing = std::async(std::launch::async, [&] { return KSAL_IPC_destroy(hanging); });
    const bool returned = closing.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    release();
    EXPECT_TRUE(returned) << "KSAL_IPC_destroy still waiting for a hanging callback";
    EXPECT_EQ(closing.get(), KSAL_IPC_OK);
    stuck.join();
    while (inside.load() != 0)
        std::this_thread::yield();
}

} // namespace
