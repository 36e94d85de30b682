// Endpoint life cycle and dispatch of the engine process's messages.
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_impl.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_text.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_log.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/oem_files/oem_files.h"

#include <boost/make_shared.hpp>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace oem_ui_process {

namespace {

const char* const kJsonDataFilePath = "/tmp/oem/oem_vorn_device_ipc.json";
const char* const kEngineJsonPath = "$._oem_ui_process_engine";
const char* const kChannelName = "IPC_oem_ui2Hul";
const uint32_t kLocalNode = 14;
const uint32_t kRemoteNode = 15;

const char* const kBannerLine =
    "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";

// Copies the payload into a properly aligned structure; false when the
// sender gave no payload or one shorter than the structure.
template <class T>
bool take_payload(const void* pui8InBuffer, uint32_t ui32InBufferSize, T& out) {
    if (pui8InBuffer == nullptr || ui32InBufferSize < sizeof(T))
        return false;
    std::memcpy(&out, pui8InBuffer, sizeof(T));
    return true;
}

// Reads the document of an incoming message; null when it cannot be had.
boost::shared_ptr<rapidjson::Document> read_document(const TJsonFile_Info& info) {
    boost::shared_ptr<rapidjson::Document> ptrjsDocument;
    try {
        ptrjsDocument = boost::make_shared<rapidjson::Document>();
    } catch (const std::bad_alloc&) {
        return boost::shared_ptr<rapidjson::Document>();
    }
    if (!read_json_from_file(info, *ptrjsDocument))
        return boost::shared_ptr<rapidjson::Document>();
    return ptrjsDocument;
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
    switch (ui32MsgId) {
    case EOEMUIP_HUL_publish: {
        THUL_publish msg;
        if (!take_payload(pui8InBuffer, ui32InBufferSize, msg))
            return EOEMUIPE_BadArgument;
        if (m_pHulCallback == nullptr)
            return EOEMUIPE_Fail;
        boost::shared_ptr<rapidjson::Document> ptrjsDocument = read_document(msg.JsonFile_Info);
        if (!ptrjsDocument)
            return EOEMUIPE_UnknownMessage;
        m_pHulCallback->on_publish(detail::field_text(msg.szChannelName), ptrjsDocument);
        return EOEMUIPE_Success;
    }
    case EOEMUIP_HUL_shutdown:
        if (m_pHulCallback == nullptr)
            return EOEMUIPE_Fail;
        return m_pHulCallback->on_shutdown() ? EOEMUIPE_Success : EOEMUIPE_Fail;
    case EOEMUIP_HUL_device_started:
        if (m_pHulCallback == nullptr)
            return EOEMUIPE_Fail;
        m_pHulCallback->on_device_started();
        return EOEMUIPE_Success;

    case EOEMUIP_HUL_engine_set_config:
    case EOEMUIP_HUL_engine_on_directory_file_changed: {
        // Both carry just the hand-off file of a document for the engine.
        THUL_engine_json_file msg;
        if (!take_payload(pui8InBuffer, ui32InBufferSize, msg))
            return EOEMUIPE_BadArgument;
        if (m_pEngineCallback == nullptr)
            return EOEMUIPE_Fail;
        boost::shared_ptr<rapidjson::Document> ptrjsDocument = read_document(msg.JsonFile_Info);
        if (!ptrjsDocument)
            return EOEMUIPE_UnknownMessage;
        if (ui32MsgId == EOEMUIP_HUL_engine_set_config)
            m_pEngineCallback->set_config(ptrjsDocument);
        else
            m_pEngineCallback->on_directory_file_changed(ptrjsDocument);
        return EOEMUIPE_Success;
    }
    case EOEMUIP_HUL_engine_send_command: {
        TOEM_send_command msg;
        if (!take_payload(pui8InBuffer, ui32InBufferSize, msg))
            return EOEMUIPE_BadArgument;
        if (m_pEngineCallback == nullptr)
            return EOEMUIPE_Fail;
        m_pEngineCallback->send_command(detail::field_text(msg.szCommand));
        return EOEMUIPE_Success;
    }
    case EOEMUIP_HUL_engine_send_query:
    case EOEMUIP_HUL_engine_get_ios:
    case EOEMUIP_HUL_engine_get_directories: {
        // The engine fills a fresh document, which goes into the named file.
        TJsonFile_Info info;
        std::string strQuery;
        if (ui32MsgId == EOEMUIP_HUL_engine_send_query) {
            TOEM_send_query msg;
            if (!take_payload(pui8InBuffer, ui32InBufferSize, msg))
                return EOEMUIPE_BadArgument;
            strQuery = detail::field_text(msg.szQuery);
            info = msg.JsonFile_Info;
        } else {
            THUL_engine_json_file msg;
            if (!take_payload(pui8InBuffer, ui32InBufferSize, msg))
                return EOEMUIPE_BadArgument;
            info = msg.JsonFile_Info;
        }
        if (m_pEngineCallback == nullptr)
            return EOEMUIPE_Fail;
        boost::shared_ptr<rapidjson::Document> ptrjsDocument;
        try {
            ptrjsDocument = boost::make_shared<rapidjson::Document>();
        } catch (const std::bad_alloc&) {
            return EOEMUIPE_Fail;
        }
        bool bFilled = false;
        if (ui32MsgId == EOEMUIP_HUL_engine_send_query)
            bFilled = m_pEngineCallback->send_query(strQuery, ptrjsDocument);
        else if (ui32MsgId == EOEMUIP_HUL_engine_get_ios)
            bFilled = m_pEngineCallback->get_ios(ptrjsDocument);
        else
            bFilled = m_pEngineCallback->get_directories(ptrjsDocument);
        if (!bFilled || !write_json_to_file(info, *ptrjsDocument))
            return EOEMUIPE_Fail;
        return EOEMUIPE_Success;
    }
    case EOEMUIP_HUL_engine_get_storage_dir:
    case EOEMUIP_HUL_engine_get_storage_ext:
    case EOEMUIP_HUL_engine_get_storage_name:
        return reply_storage_text(ui32MsgId, pui8OutBuffer, ui32OutCapacity, ui32ReplyLength);
    case EOEMUIP_HUL_engine_load: {
        THUL_engine_load msg;
        if (!take_payload(pui8InBuffer, ui32InBufferSize, msg))
            return EOEMUIPE_BadArgument;
        if (m_pEngineCallback == nullptr)
            return EOEMUIPE_Fail;
        boost::shared_ptr<rapidjson::Document> ptrjsDocument = read_document(msg.JsonFile_Info);
        if (!ptrjsDocument)
            return EOEMUIPE_UnknownMessage;
        m_pEngineCallback->load(detail::field_text(msg.strStorageName), ptrjsDocument);
        return EOEMUIPE_Success;
    }
    case EOEMUIP_HUL_engine_save:
    case EOEMUIP_HUL_engine_delete: {
        THUL_engine_load_save msg;
        if (!take_payload(pui8InBuffer, ui32InBufferSize, msg))
            return EOEMUIPE_BadArgument;
        if (m_pEngineCallback == nullptr)
            return EOEMUIPE_Fail;
        if (ui32MsgId == EOEMUIP_HUL_engine_save)
            m_pEngineCallback->save(detail::field_text(msg.sz));
        else
            m_pEngineCallback->delete_storage(detail::field_text(msg.sz));
        return EOEMUIPE_Success;
    }
    case EOEMUIP_HUL_engine_is_present:
        if (m_pEngineCallback == nullptr)
            return EOEMUIPE_Fail;
        return m_pEngineCallback->is_present() ? EOEMUIPE_Success : EOEMUIPE_Fail;
    case EOEMUIP_HUL_engine_reset_to_factory:
        if (m_pEngineCallback == nullptr)
            return EOEMUIPE_Fail;
        m_pEngineCallback->reset_to_factory();
        return EOEMUIPE_Success;
    case EOEMUIP_HUL_engine_recall:
    case EOEMUIP_HUL_engine_store: {
        // uiId is carried but has no meaning here.
        THUL_engine_recall_store msg;
        if (!take_payload(pui8InBuffer, ui32InBufferSize, msg))
            return EOEMUIPE_BadArgument;
        if (m_pEngineCallback == nullptr)
            return EOEMUIPE_Fail;
        const std::string strStorageName = detail::field_text(msg.strStorageName);
        const std::string strPath = detail::field_text(msg.strPath);
        if (ui32MsgId == EOEMUIP_HUL_engine_recall)
            m_pEngineCallback->recall(strStorageName, strPath);
        else
            m_pEngineCallback->store(strStorageName, strPath);
        return EOEMUIPE_Success;
    }
    default:
        OEMUIP_LOG_ERROR("Unknown message(%u)\n", ui32MsgId);
        return EOEMUIPE_UnknownMessage;
    }
}

int32_t oem_vorn_device_ipc::Impl::reply_storage_text(uint32_t ui32MsgId, void* pui8OutBuffer,
                                                      uint32_t ui32OutCapacity,
                                                      uint32_t& ui32ReplyLength) {
    // The three replies share one layout.
    static_assert(sizeof(THUL_engine_get_storage_dir) == sizeof(THUL_engine_get_storage_ext) &&
                      sizeof(THUL_engine_get_storage_dir) == sizeof(THUL_engine_get_storage_name),
                  "storage text replies differ");
    if (pui8OutBuffer == nullptr || ui32OutCapacity < sizeof(THUL_engine_get_storage_dir))
        return EOEMUIPE_BadArgument;
    if (m_pEngineCallback == nullptr)
        return EOEMUIPE_Fail;

    std::string strText;
    if (ui32MsgId == EOEMUIP_HUL_engine_get_storage_dir)
        m_pEngineCallback->get_storage_dir(strText);
    else if (ui32MsgId == EOEMUIP_HUL_engine_get_storage_ext)
        m_pEngineCallback->get_storage_ext(strText);
    else
        m_pEngineCallback->get_storage_name(strText);

    THUL_engine_get_storage_dir reply;
    detail::set_field_text(reply.sz, strText);
    std::memcpy(pui8OutBuffer, &reply, sizeof(reply));
    ui32ReplyLength = sizeof(reply);
    return EOEMUIPE_Success;
}

} // namespace oem_ui_process
