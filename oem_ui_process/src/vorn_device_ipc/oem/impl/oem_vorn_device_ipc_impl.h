/// \file
/// The OEM UI process's end of the channel to the engine process: owns the
/// channel, dispatches incoming messages to the callbacks and sends the UI
/// process's own requests. Documents travel in hand-off files named by the
/// messages. Include it in an engine-hosting subclass to reach the engine operations.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_messages.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_ipc.h"

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/recursive_mutex.hpp>

#include <atomic>
#include <cstdint>
#include <string>

namespace oem_ui_process {

/// The endpoint behind oem_vorn_device_ipc, owned by the facade; the operations the facade
/// forwards behave as described there.
///
/// An engine-hosting subclass calls engine_publish(), engine_io_changed() and
/// engine_load_done() through oem_vorn_device_ipc::pimpl. Like the other outgoing operations
/// they block until the engine process has handled the message, take the recursive mutex
/// and log their failures (device logger, level 3) instead of throwing.
class oem_vorn_device_ipc::Impl : public boost::enable_shared_from_this<oem_vorn_device_ipc::Impl> {
public:
    /// Neither callback is owned; both must outlive the endpoint. Ends the process with status
    /// -2 when another endpoint exists.
    Impl(oem_vorn_device_ipc_callback* pHulCallback,
         engine_oem_vorn_device_ipc_callback* pEngineCallback);
    /// destroy(), then frees the one-instance slot.
    virtual ~Impl();

    /// See oem_vorn_device_ipc::init().
    bool init();
    /// See oem_vorn_device_ipc::destroy().
    void destroy();
    /// "$._oem_ui_process_engine": configuration paths beginning with it belong to the hosted
    /// engine.
    const std::string& get_engine_json_path() const;

    /// See oem_vorn_device_ipc::oem_ui_process_ready().
    void oem_ui_process_ready() const;
    /// See oem_vorn_device_ipc::get_config().
    bool get_config(boost::shared_ptr<rapidjson::Document> ptrjsDocument);
    /// See oem_vorn_device_ipc::set_config().
    void set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig);
    /// See oem_vorn_device_ipc::send_command().
    void send_command(const std::string& strCommand) const;
    /// See oem_vorn_device_ipc::send_query().
    bool send_query(const std::string& strQuery,
                    boost::shared_ptr<rapidjson::Document> ptrjsAnswer);
    /// Publishes the hosted engine's data on \p channel (cut to 63 bytes on the wire).
    ///
    /// First, on this thread and without the lock, the UI process's own on_publish() gets the
    /// whole document on the logs channel, or, on any other channel, a new one-entry document
    /// for each entry of the array whose "path" lies under get_engine_json_path() (an entry
    /// nested too deep to copy is skipped). Then the whole document is written to the hand-off
    /// file and sent. A failed write or send is logged; deliveries already made stand.
    void engine_publish(const std::string& channel,
                        boost::shared_ptr<const rapidjson::Document> ptrjsDocument);
    /// Tells the engine process that the hosted engine's inputs or outputs changed.
    void engine_io_changed();
    /// Tells the engine process that the hosted engine has finished a load.
    void engine_load_done();

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

protected:
    /// Registered with the IPC library; \p cb_user is the endpoint (null: -1). Forwards to
    /// KSAL_IPC_callback().
    static int32_t staticKSAL_IPC_callback(void* cb_user, uint32_t ui32MsgId,
                                           const void* pui8InBuffer, uint32_t ui32InBufferSize,
                                           void* pui8OutBuffer, uint32_t* pui32OutBufferSize);
    /// The dispatcher of the engine process's messages: calls the notification or engine
    /// callback the message is for and returns what the sender sees, an EOEMUIP_CommandError.
    /// Takes no lock; exceptions from callbacks are logged and answered -1.
    int32_t KSAL_IPC_callback(uint32_t ui32MsgId, const void* pui8InBuffer,
                              uint32_t ui32InBufferSize, void* pui8OutBuffer,
                              uint32_t* pui32OutBufferSize);

private:
    int32_t dispatch(uint32_t ui32MsgId, const void* pui8InBuffer, uint32_t ui32InBufferSize,
                     void* pui8OutBuffer, uint32_t ui32OutCapacity, uint32_t& ui32ReplyLength);
    // Names this side's hand-off file with the next sequence number. Lock held.
    TJsonFile_Info next_json_file_info();
    // Sends one message; true when both the library and the peer's handler succeeded.
    bool send(uint32_t ui32MsgId, const void* pPayload, uint32_t ui32PayloadSize) const;
    bool is_engine_path(const std::string& strPath) const;

    mutable boost::recursive_mutex m_mutex;
    oem_vorn_device_ipc_callback* m_pHulCallback;
    engine_oem_vorn_device_ipc_callback* m_pEngineCallback;
    std::string m_strJsonDataFilePath;
    uint32_t m_ui32JsonId;
    const std::string m_strEngineJsonPath;
    uintptr_t m_KSAL_IPC_handler;

    static std::atomic<int> s_InstanceCounter;
};

} // namespace oem_ui_process
