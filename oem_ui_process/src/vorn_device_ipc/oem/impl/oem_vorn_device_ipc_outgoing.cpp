// The OEM UI process's own requests to the engine process: readiness,
// configuration, commands, queries and the hosted engine's publications.
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_impl.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_text.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_log.h"
#include "platform/device_constants/device_constants.h"
#include "platform/ksal_ipc/KSAL_IPC.h"
#include "platform/oem_files/oem_files.h"

#include <boost/make_shared.hpp>

#include <cstring>

namespace oem_ui_process {

TJsonFile_Info oem_vorn_device_ipc::Impl::next_json_file_info() {
    TJsonFile_Info info;
    detail::set_field_text(info.szJSONDataFilePath, m_strJsonDataFilePath);
    // The number is used up even when the write or send that follows fails.
    info.ui32JsonId = m_ui32JsonId++;
    return info;
}

bool oem_vorn_device_ipc::Impl::send(uint32_t ui32MsgId, const void* pPayload,
                                     uint32_t ui32PayloadSize) const {
    int32_t i32MsgErr = 0;
    const int32_t i32Result = KSAL_IPC_SendIOCTL(m_KSAL_IPC_handler, ui32MsgId, pPayload,
                                                 ui32PayloadSize, nullptr, 0, &i32MsgErr);
    return i32Result == 0 && i32MsgErr == 0;
}

bool oem_vorn_device_ipc::Impl::is_engine_path(const std::string& strPath) const {
    // A pure prefix test: no separator is needed after the engine's path.
    return strPath.size() >= m_strEngineJsonPath.size() &&
           strPath.compare(0, m_strEngineJsonPath.size(), m_strEngineJsonPath) == 0;
}

void oem_vorn_device_ipc::Impl::oem_ui_process_ready() const {
    if (!send(EOEMUIP_OEM_ready, nullptr, 0))
        OEMUIP_LOG_ERROR("KSAL_IPC_SendIOCTL(EOEMUIP_OEM_ready) failed\n");
}

bool oem_vorn_device_ipc::Impl::get_config(boost::shared_ptr<rapidjson::Document> ptrjsDocument) {
    if (!ptrjsDocument)
        return false;
    boost::recursive_mutex::scoped_lock lock(m_mutex);
    TOEM_get_config msg;
    msg.JsonFile_Info = next_json_file_info();
    // The engine process writes the configuration into our file before it answers.
    if (!send(EOEMUIP_OEM_get_config, &msg, sizeof(msg))) {
        OEMUIP_LOG_ERROR("KSAL_IPC_SendIOCTL(EOEMUIP_OEM_get_config) failed\n");
        return false;
    }
    return read_json_from_file(msg.JsonFile_Info, *ptrjsDocument);
}

void oem_vorn_device_ipc::Impl::set_config(
    boost::shared_ptr<const rapidjson::Document> ptrjsConfig) {
    if (!ptrjsConfig) {
        OEMUIP_LOG_ERROR("ptrjsConfig is null\n");
        return;
    }
    // A document without a usable path cannot be routed; the look-up has
    // reported why, and the document is dropped.
    std::string strPath;
    if (!detail::get_string_member(*ptrjsConfig, device::fields::path, strPath))
        return;

    if (is_engine_path(strPath)) {
        // The hosted engine's settings never leave this process.
        if (m_pEngineCallback != nullptr)
            m_pEngineCallback->set_config(ptrjsConfig);
        return;
    }

    boost::recursive_mutex::scoped_lock lock(m_mutex);
    TOEM_configure msg;
    msg.JsonFile_Info = next_json_file_info();
    if (!detail::within_depth(*ptrjsConfig, "set_config") ||
        !write_json_to_file(msg.JsonFile_Info, *ptrjsConfig)) {
        OEMUIP_LOG_ERROR("write_json_to_file() failed\n");
        return;
    }
    if (!send(EOEMUIP_OEM_set_config, &msg, sizeof(msg)))
        OEMUIP_LOG_ERROR("KSAL_IPC_SendIOCTL(EOEMUIP_OEM_set_config) failed\n");
}

void oem_vorn_device_ipc::Impl::send_command(const std::string& strCommand) const {
    boost::recursive_mutex::scoped_lock lock(m_mutex);
    TOEM_send_command msg;
    detail::set_field_text(msg.szCommand, strCommand);
    if (!send(EOEMUIP_OEM_send_command, &msg, sizeof(msg)))
        OEMUIP_LOG_ERROR("KSAL_IPC_SendIOCTL(EOEMUIP_OEM_send_command) failed\n");
}

bool oem_vorn_device_ipc::Impl::send_query(const std::string& strQuery,
                                           boost::shared_ptr<rapidjson::Document> ptrjsAnswer) {
    if (!ptrjsAnswer)
        return false;
    boost::recursive_mutex::scoped_lock lock(m_mutex);
    TOEM_send_query msg;
    detail::set_field_text(msg.szQuery, strQuery);
    msg.JsonFile_Info = next_json_file_info();
    if (!send(EOEMUIP_OEM_send_query, &msg, sizeof(msg)))
        return false;
    return read_json_from_file(msg.JsonFile_Info, *ptrjsAnswer);
}

void oem_vorn_device_ipc::Impl::engine_publish(
    const std::string& channel, boost::shared_ptr<const rapidjson::Document> ptrjsDocument) {
    if (!ptrjsDocument) {
        // Nothing to deliver or to write; the hand-off file is left alone.
        OEMUIP_LOG_ERROR("ptrjsDocument is null\n");
        return;
    }

    // Local delivery first, without the lock, so that on_publish may send.
    if (m_pHulCallback != nullptr) {
        if (channel == device::channels::logs_channel) {
            m_pHulCallback->on_publish(channel, ptrjsDocument);
        } else if (!ptrjsDocument->IsArray()) {
            // Not the expected list of entries: nothing to deliver locally,
            // the publication is still forwarded.
            detail::report_assert("IsArray()", __FILE__, __LINE__);
        } else {
            const rapidjson::Value& jsEntries = *ptrjsDocument;
            for (rapidjson::SizeType i = 0; i < jsEntries.Size(); ++i) {
                const rapidjson::Value& jsEntry = jsEntries[i];
                std::string strPath;
                if (!detail::get_string_member(jsEntry, device::fields::path, strPath))
                    continue;
                if (!is_engine_path(strPath))
                    continue;
                boost::shared_ptr<rapidjson::Document> ptrjsToPublish =
                    boost::make_shared<rapidjson::Document>();
                // An entry too deep to copy is not delivered (and not forwarded either).
                if (detail::deep_copy(*ptrjsToPublish, jsEntry, ptrjsToPublish->GetAllocator()))
                    m_pHulCallback->on_publish(channel, ptrjsToPublish);
            }
        }
    }

    boost::recursive_mutex::scoped_lock lock(m_mutex);
    THUL_publish msg;
    detail::set_field_text(msg.szChannelName, channel);
    msg.JsonFile_Info = next_json_file_info();
    if (!detail::within_depth(*ptrjsDocument, "engine_publish") ||
        !write_json_to_file(msg.JsonFile_Info, *ptrjsDocument)) {
        OEMUIP_LOG_ERROR("write_json_to_file() failed\n");
        return;
    }
    if (!send(EOEMUIP_OEM_engine_publish, &msg, sizeof(msg)))
        OEMUIP_LOG_ERROR("KSAL_IPC_SendIOCTL(EOEMUIP_OEM_engine_publish) failed\n");
}

void oem_vorn_device_ipc::Impl::engine_io_changed() {
    boost::recursive_mutex::scoped_lock lock(m_mutex);
    if (!send(EOEMUIP_OEM_engine_io_changed, nullptr, 0))
        OEMUIP_LOG_ERROR("KSAL_IPC_SendIOCTL(EOEMUIP_OEM_engine_io_changed) failed\n");
}

void oem_vorn_device_ipc::Impl::engine_load_done() {
    boost::recursive_mutex::scoped_lock lock(m_mutex);
    if (!send(EOEMUIP_OEM_engine_load_done, nullptr, 0))
        OEMUIP_LOG_ERROR("KSAL_IPC_SendIOCTL(EOEMUIP_OEM_engine_load_done) failed\n");
}

} // namespace oem_ui_process
