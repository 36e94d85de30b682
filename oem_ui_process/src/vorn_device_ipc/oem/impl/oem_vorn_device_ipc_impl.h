// The OEM UI process's end of the channel to the engine process: owns the
// channel, dispatches incoming messages to the callbacks and sends the UI
// process's own requests. Documents travel in hand-off files named by the
// messages.
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

class oem_vorn_device_ipc::Impl : public boost::enable_shared_from_this<oem_vorn_device_ipc::Impl> {
public:
    // Ends the process with status -2 when another endpoint exists.
    Impl(oem_vorn_device_ipc_callback* pHulCallback,
         engine_oem_vorn_device_ipc_callback* pEngineCallback);
    virtual ~Impl();

    bool init();
    void destroy();
    const std::string& get_engine_json_path() const;

    // Outgoing operations.
    void oem_ui_process_ready() const;
    bool get_config(boost::shared_ptr<rapidjson::Document> ptrjsDocument);
    void set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig);
    void send_command(const std::string& strCommand) const;
    bool send_query(const std::string& strQuery,
                    boost::shared_ptr<rapidjson::Document> ptrjsAnswer);
    void engine_publish(const std::string& channel,
                        boost::shared_ptr<const rapidjson::Document> ptrjsDocument);
    void engine_io_changed();
    void engine_load_done();

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

protected:
    // Registered with the IPC library; cb_user is the endpoint.
    static int32_t staticKSAL_IPC_callback(void* cb_user, uint32_t ui32MsgId,
                                           const void* pui8InBuffer, uint32_t ui32InBufferSize,
                                           void* pui8OutBuffer, uint32_t* pui32OutBufferSize);
    // The dispatcher of the engine process's messages.
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
