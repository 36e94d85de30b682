/* Inter-process messaging between the OEM UI process and the engine process.
 *
 * Stand-in for the device's IPC library (target `ksal_ipc`): each side of a
 * channel listens on a Unix-domain socket named after the channel and its own
 * node; a send connects to the socket of the peer's node. Both sides open the
 * same channel name with the two node numbers swapped.
 *
 * A send is synchronous: it returns after the peer's callback ran, with the
 * callback's result in *pi32MsgErr and the callback's reply bytes (up to
 * ui32OutBufferSize) in pOutBuffer. Incoming messages are delivered on the
 * library's own threads, one per connection, so a callback may itself send
 * on the same channel while other messages keep being served. Any number of
 * threads may send on one handle at once. A connection that brings no whole
 * request within 10 s is dropped, and when 256 connections are served the one
 * that has waited longest for a request makes room for a new one, so idle
 * peers cannot lock out one that sends. Claimed sizes are checked before
 * anything is read (on the OEM UI channel the catalogue's largest message);
 * a request past them is dropped with a log line. At most 32 callbacks run
 * at once; a message past that is refused (KSAL_IPC_E_REJECTED) with a log
 * line.
 *
 * Every function returns KSAL_IPC_OK (0) on success and a negative
 * KSAL_IPC_E_* value on failure. */
#ifndef KSAL_IPC_H
#define KSAL_IPC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KSAL_IPC_OK 0
#define KSAL_IPC_E_BAD_HANDLE (-1)   /* handle 0, unknown or already destroyed */
#define KSAL_IPC_E_BAD_ARGUMENT (-2) /* null pointer, oversized payload, bad channel name */
#define KSAL_IPC_E_NO_PEER (-3)      /* nobody listening on the peer's node */
#define KSAL_IPC_E_IO (-4)           /* connection lost before the answer came back */
#define KSAL_IPC_E_REJECTED                                                                        \
    (-5) /* the peer refused the message (wrong node, no callback, closing) */
#define KSAL_IPC_E_RESOURCE (-6) /* socket, thread or path limits of this system */
#define KSAL_IPC_E_IN_USE (-7)   /* this channel and node are already open somewhere */
#define KSAL_IPC_E_TIMEOUT (-8)  /* no answer within the answer time-out */

/* Largest payload and largest reply a message may carry. */
#define KSAL_IPC_MAX_MESSAGE_SIZE (1024u * 1024u)
/* Smallest reply buffer a callback is given. */
#define KSAL_IPC_MIN_REPLY_CAPACITY 4096u

/* Called on a delivery thread for each incoming message. pui8InBuffer is null
 * when the message has no payload. pui8OutBuffer holds *pui32OutBufferSize
 * zeroed bytes on entry (at least KSAL_IPC_MIN_REPLY_CAPACITY); the callback
 * stores its reply length there. The result goes back to the sender. */
typedef int32_t (*KSAL_IPC_Callback)(void* cb_user, uint32_t ui32MsgId, const void* pui8InBuffer,
                                     uint32_t ui32InBufferSize, void* pui8OutBuffer,
                                     uint32_t* pui32OutBufferSize);

/* Opens channel szChannelName as node ui32LocalNode talking to ui32RemoteNode.
 * cb may be null for a send-only side (incoming messages are then refused).
 * On success stores a non-zero handle in *pHandle; on failure stores 0. */
int32_t KSAL_IPC_init_ex(uint32_t ui32LocalNode, uint32_t ui32RemoteNode, KSAL_IPC_Callback cb,
                         void* cb_user, const char* szChannelName, uintptr_t* pHandle);

/* Sends one message and waits for the peer's callback to finish. pi32MsgErr
 * receives the callback's result (-1 when the callback did not run); it may be
 * null. pOutBuffer may be null when ui32OutBufferSize is 0. A peer that has
 * not answered within the answer time-out (30 s) fails the send with
 * KSAL_IPC_E_TIMEOUT. */
int32_t KSAL_IPC_SendIOCTL(uintptr_t handle, uint32_t ui32MsgId, const void* pInBuffer,
                           uint32_t ui32InBufferSize, void* pOutBuffer, uint32_t ui32OutBufferSize,
                           int32_t* pi32MsgErr);

/* Closes the channel: pending sends on it fail, the delivery threads are
 * joined, and no callback starts after it returns (the one calling it, when
 * called from a callback, still answers its sender). Callbacks still running
 * after 3 s are left to end on their own (logged), so the close returns
 * whatever they do. */
int32_t KSAL_IPC_destroy(uintptr_t handle);

/* Stand-in only, for tests: the time a peer has to send a whole request on a
 * connection (after connecting or after its previous answer) before the
 * connection is dropped, default 10 s, and the time a send waits for its
 * answer, default 30 s. 0 restores a default. Applies to the whole process. */
void KSAL_IPC_set_timeouts(uint32_t ui32FrameTimeoutMs, uint32_t ui32AnswerTimeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* KSAL_IPC_H */
