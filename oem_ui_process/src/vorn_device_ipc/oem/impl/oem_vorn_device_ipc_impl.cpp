// Endpoint life cycle and dispatch of the engine process's messages.
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_impl.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_catalogue.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_text.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_log.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/oem_files/oem_files.h"

#include <boost/make_shared.hpp>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace oem_ui_process {

namespace {

const char* const kJsonDataFilePath = "/tmp/oem/oem_vorn_device_ipc.json";
const char* const kEngineJsonPath = "$._oem_ui_process_engine";
const char* const kChannelName = "IPC_oem_ui2Hul";
const uint32_t kLocalNode = 14;
const uint32_t kRemoteNode = 15;

const char* const kBannerLine =
    "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";

// A fresh document, or null when it cannot be made.
boost::shared_ptr<rapidjson::Document> new_document() {
    try {
        return boost::make_shared<rapidjson::Document>();
    } catch (const std::bad_alloc&) {
        return boost::shared_ptr<rapidjson::Document>();
    }
}

// Reads the document of an incoming message; null when it cannot be had.
boost::shared_ptr<rapidjson::Document> read_document(const TJsonFile_Info& info) {
    boost::shared_ptr<rapidjson::Document> ptrjsDocument = new_document();
    if (!ptrjsDocument || !read_json_from_file(info, *ptrjsDocument))
        return boost::shared_ptr<rapidjson::Document>();
    return ptrjsDocument;
}

// One incoming message whose payload, reply buffer and receiver the dispatcher
// has checked against the catalogue, with its document read or made.
struct incoming {
    oem_vorn_device_ipc_callback* pHul;
    engine_oem_vorn_device_ipc_callback* pEngine;
    const void* pPayload;
    boost::shared_ptr<rapidjson::Document> ptrjsDocument;
    void* pReply;
    uint32_t* pui32ReplyLength;

    // The payload as the structure the catalogue gives message Id, copied so
    // that it is properly aligned.
    template <uint32_t Id, class T>
    T payload() const {
        static_assert(carries<T>(Id), "not the structure of this message");
        T msg;
        std::memcpy(&msg, pPayload, sizeof(T));
        return msg;
    }

    int32_t reply_storage_text(const std::string& strText) const {
        THUL_engine_get_storage_dir reply;
        detail::set_field_text(reply.sz, strText);
        std::memcpy(pReply, &reply, sizeof(reply));
        *pui32ReplyLength = sizeof(reply);
        return EOEMUIPE_Success;
    }
};

// The three storage texts share one reply layout.
static_assert(find_message(EOEMUIP_HUL_engine_get_storage_dir)->ui32ReplySize ==
                      sizeof(THUL_engine_get_storage_dir) &&
                  find_message(EOEMUIP_HUL_engine_get_storage_ext)->ui32ReplySize ==
                      sizeof(THUL_engine_get_storage_dir) &&
                  find_message(EOEMUIP_HUL_engine_get_storage_name)->ui32ReplySize ==
                      sizeof(THUL_engine_get_storage_dir),
              "storage text replies differ");

int32_t result_of(bool bDone) {
    return bDone ? EOEMUIPE_Success : EOEMUIPE_Fail;
}

int32_t on_publish(const incoming& in) {
    const THUL_publish msg = in.payload<EOEMUIP_HUL_publish, THUL_publish>();
    in.pHul->on_publish(detail::field_text(msg.szChannelName), in.ptrjsDocument);
    return EOEMUIPE_Success;
}

int32_t on_shutdown(const incoming& in) {
    return result_of(in.pHul->on_shutdown());
}

int32_t on_device_started(const incoming& in) {
    in.pHul->on_device_started();
    return EOEMUIPE_Success;
}

int32_t on_engine_set_config(const incoming& in) {
    in.pEngine->set_config(in.ptrjsDocument);
    return EOEMUIPE_Success;
}

int32_t on_engine_send_command(const incoming& in) {
    const TOEM_send_command msg = in.payload<EOEMUIP_HUL_engine_send_command, TOEM_send_command>();
    in.pEngine->send_command(detail::field_text(msg.szCommand));
    return EOEMUIPE_Success;
}

int32_t on_engine_send_query(const incoming& in) {
    const TOEM_send_query msg = in.payload<EOEMUIP_HUL_engine_send_query, TOEM_send_query>();
    return result_of(in.pEngine->send_query(detail::field_text(msg.szQuery), in.ptrjsDocument));
}

int32_t on_engine_get_storage_dir(const incoming& in) {
    std::string strText;
    in.pEngine->get_storage_dir(strText);
    return in.reply_storage_text(strText);
}

int32_t on_engine_get_storage_ext(const incoming& in) {
    std::string strText;
    in.pEngine->get_storage_ext(strText);
    return in.reply_storage_text(strText);
}

int32_t on_engine_get_storage_name(const incoming& in) {
    std::string strText;
    in.pEngine->get_storage_name(strText);
    return in.reply_storage_text(strText);
}

int32_t on_engine_load(const incoming& in) {
    const THUL_engine_load msg = in.payload<EOEMUIP_HUL_engine_load, THUL_engine_load>();
    in.pEngine->load(detail::field_text(msg.strStorageName), in.ptrjsDocument);
    return EOEMUIPE_Success;
}

int32_t on_engine_save(const incoming& in) {
    const THUL_engine_load_save msg = in.payload<EOEMUIP_HUL_engine_save, THUL_engine_load_save>();
    in.pEngine->save(detail::field_text(msg.sz));
    return EOEMUIPE_Success;
}

int32_t on_engine_delete(const incoming& in) {
    const THUL_engine_load_save msg =
        in.payload<EOEMUIP_HUL_engine_delete, THUL_engine_load_save>();
    in.pEngine->delete_storage(detail::field_text(msg.sz));
    return EOEMUIPE_Success;
}

int32_t on_engine_is_present(const incoming& in) {
    return result_of(in.pEngine->is_present());
}

int32_t on_engine_get_ios(const incoming& in) {
    return result_of(in.pEngine->get_ios(in.ptrjsDocument));
}

int32_t on_engine_reset_to_factory(const incoming& in) {
    in.pEngine->reset_to_factory();
    return EOEMUIPE_Success;
}

// uiId of recall and store is carried but has no meaning here.
int32_t on_engine_recall(const incoming& in) {
    const THUL_engine_recall_store msg =
        in.payload<EOEMUIP_HUL_engine_recall, THUL_engine_recall_store>();
    in.pEngine->recall(detail::field_text(msg.strStorageName), detail::field_text(msg.strPath));
    return EOEMUIPE_Success;
}

int32_t on_engine_store(const incoming& in) {
    const THUL_engine_recall_store msg =
        in.payload<EOEMUIP_HUL_engine_store, THUL_engine_recall_store>();
    in.pEngine->store(detail::field_text(msg.strStorageName), detail::field_text(msg.strPath));
    return EOEMUIPE_Success;
}

int32_t on_engine_get_directories(const incoming& in) {
    return result_of(in.pEngine->get_directories(in.ptrjsDocument));
}

int32_t on_engine_on_directory_file_changed(const incoming& in) {
    in.pEngine->on_directory_file_changed(in.ptrjsDocument);
    return EOEMUIPE_Success;
}

// One handler per message that the catalogue gives this side.
int32_t handle(uint32_t ui32MsgId, const incoming& in) {
    switch (ui32MsgId) {
    case EOEMUIP_HUL_publish:
        return on_publish(in);
    case EOEMUIP_HUL_shutdown:
        return on_shutdown(in);
    case EOEMUIP_HUL_engine_set_config:
        return on_engine_set_config(in);
    case EOEMUIP_HUL_engine_send_command:
        return on_engine_send_command(in);
    case EOEMUIP_HUL_engine_send_query:
        return on_engine_send_query(in);
    case EOEMUIP_HUL_engine_get_storage_dir:
        return on_engine_get_storage_dir(in);
    case EOEMUIP_HUL_engine_get_storage_ext:
        return on_engine_get_storage_ext(in);
    case EOEMUIP_HUL_engine_get_storage_name:
        return on_engine_get_storage_name(in);
    case EOEMUIP_HUL_engine_load:
        return on_engine_load(in);
    case EOEMUIP_HUL_engine_save:
        return on_engine_save(in);
    case EOEMUIP_HUL_engine_delete:
        return on_engine_delete(in);
    case EOEMUIP_HUL_engine_is_present:
        return on_engine_is_present(in);
    case EOEMUIP_HUL_engine_get_ios:
        return on_engine_get_ios(in);
    case EOEMUIP_HUL_engine_reset_to_factory:
        return on_engine_reset_to_factory(in);
    case EOEMUIP_HUL_engine_recall:
        return on_engine_recall(in);
    case EOEMUIP_HUL_engine_store:
        return on_engine_store(in);
    case EOEMUIP_HUL_engine_get_directories:
        return on_engine_get_directories(in);
    case EOEMUIP_HUL_engine_on_directory_file_changed:
        return on_engine_on_directory_file_changed(in);
    case EOEMUIP_HUL_device_started:
        return on_device_started(in);
    default:
        // The catalogue names a message of this side that has no handler.
        return EOEMUIPE_UnknownMessage;
    }
}

} // namespace

std::atomic<int> oem_vorn_device_ipc::Impl::s_InstanceCounter(0);

oem_vorn_device_ipc::Impl::Impl(oem_vorn_device_ipc_callback* pHulCallback,
                                engine_oem_vorn_device_ipc_callback* pEngineCallback)
    : m_mutex(), m_pHulCallback(pHulCallback), m_pEngineCallback(pEngineCallback),
      m_strJsonDataFilePath(), m_ui32JsonId(0), m_strEngineJsonPath(kEngineJsonPath),
      m_KSAL_IPC_handler(0) {
    if (s_InstanceCounter.fetch_add(1) != 0) {
        // Two endpoints would fight over one channel and one hand-off file.
        OEMUIP_LOG_ERROR("%s", kBannerLine);
        OEMUIP_LOG_ERROR("!! Only one instance of oem_vorn_device_ipc can be created!\n");
        OEMUIP_LOG_ERROR("%s", kBannerLine);
        std::exit(-2);
    }
}

oem_vorn_device_ipc::Impl::~Impl() {
    destroy();
    s_InstanceCounter.fetch_sub(1);
}

bool oem_vorn_device_ipc::Impl::init() {
    // A second init would leak the open channel; start from a closed one.
    destroy();

    boost::recursive_mutex::scoped_lock lock(m_mutex);
    m_strJsonDataFilePath = kJsonDataFilePath;
    if (!create_file(m_strJsonDataFilePath, false))
        return false;

    uintptr_t handle = 0;
    const int32_t i32Result = KSAL_IPC_init_ex(
        kLocalNode, kRemoteNode, &Impl::staticKSAL_IPC_callback, this, kChannelName, &handle);
    if (i32Result != 0) {
        OEMUIP_LOG_ERROR("KSAL_IPC_init failed\n");
        return false;
    }
    m_KSAL_IPC_handler = handle;
    return true;
}

void oem_vorn_device_ipc::Impl::destroy() {
    uintptr_t handle = 0;
    {
        boost::recursive_mutex::scoped_lock lock(m_mutex);
        handle = m_KSAL_IPC_handler;
        m_KSAL_IPC_handler = 0;
    }
    // Closed without the lock: the library may wait for a delivery whose
    // handler is sending through this endpoint.
    if (handle != 0)
        KSAL_IPC_destroy(handle);
}

const std::string& oem_vorn_device_ipc::Impl::get_engine_json_path() const {
    return m_strEngineJsonPath;
}

int32_t oem_vorn_device_ipc::Impl::staticKSAL_IPC_callback(void* cb_user, uint32_t ui32MsgId,
                                                           const void* pui8InBuffer,
                                                           uint32_t ui32InBufferSize,
                                                           void* pui8OutBuffer,
                                                           uint32_t* pui32OutBufferSize) {
    if (cb_user == nullptr)
        return EOEMUIPE_Fail;
    Impl* pImpl = static_cast<Impl*>(cb_user);
    return pImpl->KSAL_IPC_callback(ui32MsgId, pui8InBuffer, ui32InBufferSize, pui8OutBuffer,
                                    pui32OutBufferSize);
}

int32_t oem_vorn_device_ipc::Impl::KSAL_IPC_callback(uint32_t ui32MsgId, const void* pui8InBuffer,
                                                     uint32_t ui32InBufferSize, void* pui8OutBuffer,
                                                     uint32_t* pui32OutBufferSize) {
    const uint32_t ui32OutCapacity = pui32OutBufferSize != nullptr ? *pui32OutBufferSize : 0;
    uint32_t ui32ReplyLength = 0;
    int32_t i32Result = EOEMUIPE_Fail;
    try {
        i32Result = dispatch(ui32MsgId, pui8InBuffer, ui32InBufferSize, pui8OutBuffer,
                             ui32OutCapacity, ui32ReplyLength);
    } catch (const std::exception& e) {
        // Nothing may unwind into the IPC library.
        OEMUIP_LOG_ERROR("message(%u) handler failed: %s\n", ui32MsgId, e.what());
        ui32ReplyLength = 0;
        i32Result = EOEMUIPE_Fail;
    } catch (...) {
        OEMUIP_LOG_ERROR("message(%u) handler failed\n", ui32MsgId);
        ui32ReplyLength = 0;
        i32Result = EOEMUIPE_Fail;
    }
    if (pui32OutBufferSize != nullptr)
        *pui32OutBufferSize = ui32ReplyLength;
    return i32Result;
}

int32_t oem_vorn_device_ipc::Impl::dispatch(uint32_t ui32MsgId, const void* pui8InBuffer,
                                            uint32_t ui32InBufferSize, void* pui8OutBuffer,
                                            uint32_t ui32OutCapacity, uint32_t& ui32ReplyLength) {
    ui32ReplyLength = 0;
    const TOEMUIP_Message* pMessage = find_message(ui32MsgId);
    if (pMessage == nullptr || pMessage->eReceiver == EOEMUIPR_EngineProcess) {
        OEMUIP_LOG_ERROR("Unknown message(%u)\n", ui32MsgId);
        return EOEMUIPE_UnknownMessage;
    }
    // Nothing of a short payload or a small reply buffer is touched.
    if (pMessage->ui32PayloadSize != 0 &&
        (pui8InBuffer == nullptr || ui32InBufferSize < pMessage->ui32PayloadSize))
        return EOEMUIPE_BadArgument;
    if (pMessage->ui32ReplySize != 0 &&
        (pui8OutBuffer == nullptr || ui32OutCapacity < pMessage->ui32ReplySize))
        return EOEMUIPE_BadArgument;
    if ((pMessage->eReceiver == EOEMUIPR_Hul ? static_cast<const void*>(m_pHulCallback)
                                             : m_pEngineCallback) == nullptr)
        return EOEMUIPE_Fail;

    incoming in{m_pHulCallback, m_pEngineCallback, pui8InBuffer, {},
                pui8OutBuffer,  &ui32ReplyLength};
    TJsonFile_Info info;
    if (pMessage->i32FileOffset >= 0)
        std::memcpy(&info, static_cast<const char*>(pui8InBuffer) + pMessage->i32FileOffset,
                    sizeof(info));
    if (pMessage->eDocument == EOEMUIPD_Read) {
        in.ptrjsDocument = read_document(info);
        if (!in.ptrjsDocument)
            return EOEMUIPE_UnknownMessage;
    } else if (pMessage->eDocument == EOEMUIPD_Answer) {
        in.ptrjsDocument = new_document();
        if (!in.ptrjsDocument)
            return EOEMUIPE_Fail;
    }

    const int32_t i32Result = handle(ui32MsgId, in);
    // An answer goes into the named file only when the engine filled it.
    if (pMessage->eDocument == EOEMUIPD_Answer && i32Result == EOEMUIPE_Success &&
        (!detail::within_depth(*in.ptrjsDocument, "answer") ||
         !write_json_to_file(info, *in.ptrjsDocument)))
        return EOEMUIPE_Fail;
    return i32Result;
}

} // namespace oem_ui_process
