/// \file
/// The message catalogue: for every message of the channel, who receives it,
/// which structure it carries, what happens to the document its hand-off file
/// names and what it answers with. The dispatcher, the engine simulator, the
/// tests and the fuzz targets all read this one table.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_messages.h"

#include <cstddef>
#include <cstdint>

namespace oem_ui_process {

/// Who handles a message.
enum EOEMUIP_Receiver : uint8_t {
    EOEMUIPR_Hul,           ///< the OEM UI process's notification callback
    EOEMUIPR_Engine,        ///< the engine hosted by the OEM UI process
    EOEMUIPR_EngineProcess, ///< the device's engine process
};

/// The document of the hand-off file that the payload names.
enum EOEMUIP_Document : uint8_t {
    EOEMUIPD_None,   ///< the payload names no file
    EOEMUIPD_Read,   ///< written by the sender, read by the receiver
    EOEMUIPD_Answer, ///< written by the receiver, read by the sender after success
};

/// One message of the catalogue.
struct TOEMUIP_Message {
    EOEMUIP_CommandId eId;      ///< the identifier
    const char* pszName;        ///< the enumerator, e.g. "EOEMUIP_HUL_publish"
    const char* pszShortName;   ///< without its side's prefix, e.g. "publish"
    const char* pszPayload;     ///< the structure's name, or null without payload
    uint32_t ui32PayloadSize;   ///< 0 without payload
    int32_t i32FileOffset;      ///< offset of the TJsonFile_Info in the payload, or -1
    EOEMUIP_Document eDocument; ///< what happens to the document that file holds
    uint32_t ui32ReplySize;     ///< reply bytes the receiver fills (0: none)
    EOEMUIP_Receiver eReceiver; ///< who handles it
};

// Shorthands for the table's rows, undefined after it.
/// Row shorthand: identifier, name and short name of a message.
#define OEMUIP_MESSAGE(side, name) EOEMUIP_##side##_##name, "EOEMUIP_" #side "_" #name, #name
/// Row shorthand: no payload, no file.
#define OEMUIP_NO_PAYLOAD nullptr, 0, -1, EOEMUIPD_None
/// Row shorthand: payload structure T, no file.
#define OEMUIP_PAYLOAD(T) #T, sizeof(T), -1, EOEMUIPD_None
/// Row shorthand: payload structure T naming a hand-off file with that document.
#define OEMUIP_PAYLOAD_FILE(T, document)                                                           \
#T, sizeof(T), static_cast < int32_t>(offsetof(T, JsonFile_Info)), document

/// Every defined message, in identifier order.
constexpr TOEMUIP_Message g_aMessageCatalogue[] = {
    {OEMUIP_MESSAGE(HUL, publish), OEMUIP_PAYLOAD_FILE(THUL_publish, EOEMUIPD_Read), 0,
     EOEMUIPR_Hul},
    {OEMUIP_MESSAGE(HUL, shutdown), OEMUIP_NO_PAYLOAD, 0, EOEMUIPR_Hul},
    {OEMUIP_MESSAGE(HUL, engine_set_config),
     OEMUIP_PAYLOAD_FILE(THUL_engine_set_config, EOEMUIPD_Read), 0, EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_send_command), OEMUIP_PAYLOAD(TOEM_send_command), 0,
     EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_send_query), OEMUIP_PAYLOAD_FILE(TOEM_send_query, EOEMUIPD_Answer),
     0, EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_get_storage_dir), OEMUIP_NO_PAYLOAD,
     sizeof(THUL_engine_get_storage_dir), EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_get_storage_ext), OEMUIP_NO_PAYLOAD,
     sizeof(THUL_engine_get_storage_ext), EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_get_storage_name), OEMUIP_NO_PAYLOAD,
     sizeof(THUL_engine_get_storage_name), EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_load), OEMUIP_PAYLOAD_FILE(THUL_engine_load, EOEMUIPD_Read), 0,
     EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_save), OEMUIP_PAYLOAD(THUL_engine_load_save), 0, EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_delete), OEMUIP_PAYLOAD(THUL_engine_load_save), 0, EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_is_present), OEMUIP_NO_PAYLOAD, 0, EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_get_ios), OEMUIP_PAYLOAD_FILE(THUL_engine_get_ios, EOEMUIPD_Answer),
     0, EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_reset_to_factory), OEMUIP_NO_PAYLOAD, 0, EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_recall), OEMUIP_PAYLOAD(THUL_engine_recall_store), 0,
     EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_store), OEMUIP_PAYLOAD(THUL_engine_recall_store), 0,
     EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_get_directories),
     OEMUIP_PAYLOAD_FILE(THUL_engine_json_file, EOEMUIPD_Answer), 0, EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, engine_on_directory_file_changed),
     OEMUIP_PAYLOAD_FILE(THUL_engine_json_file, EOEMUIPD_Read), 0, EOEMUIPR_Engine},
    {OEMUIP_MESSAGE(HUL, device_started), OEMUIP_NO_PAYLOAD, 0, EOEMUIPR_Hul},

    {OEMUIP_MESSAGE(OEM, ready), OEMUIP_NO_PAYLOAD, 0, EOEMUIPR_EngineProcess},
    {OEMUIP_MESSAGE(OEM, get_config), OEMUIP_PAYLOAD_FILE(TOEM_get_config, EOEMUIPD_Answer), 0,
     EOEMUIPR_EngineProcess},
    {OEMUIP_MESSAGE(OEM, set_config), OEMUIP_PAYLOAD_FILE(TOEM_configure, EOEMUIPD_Read), 0,
     EOEMUIPR_EngineProcess},
    {OEMUIP_MESSAGE(OEM, send_command), OEMUIP_PAYLOAD(TOEM_send_command), 0,
     EOEMUIPR_EngineProcess},
    {OEMUIP_MESSAGE(OEM, send_query), OEMUIP_PAYLOAD_FILE(TOEM_send_query, EOEMUIPD_Answer), 0,
     EOEMUIPR_EngineProcess},
    {OEMUIP_MESSAGE(OEM, engine_publish), OEMUIP_PAYLOAD_FILE(THUL_publish, EOEMUIPD_Read), 0,
     EOEMUIPR_EngineProcess},
    {OEMUIP_MESSAGE(OEM, engine_io_changed), OEMUIP_NO_PAYLOAD, 0, EOEMUIPR_EngineProcess},
    {OEMUIP_MESSAGE(OEM, engine_load_done), OEMUIP_NO_PAYLOAD, 0, EOEMUIPR_EngineProcess},
};

#undef OEMUIP_MESSAGE
#undef OEMUIP_NO_PAYLOAD
#undef OEMUIP_PAYLOAD
#undef OEMUIP_PAYLOAD_FILE

/// The catalogue entry of a message, or null for an identifier that is not defined.
constexpr const TOEMUIP_Message* find_message(uint32_t ui32MsgId) {
    for (const TOEMUIP_Message& message : g_aMessageCatalogue)
        if (message.eId == ui32MsgId)
            return &message;
    return nullptr;
}

/// The catalogue entry of a message that `eReceiver` handles, or null.
constexpr const TOEMUIP_Message* find_message(uint32_t ui32MsgId, EOEMUIP_Receiver eReceiver) {
    const TOEMUIP_Message* pMessage = find_message(ui32MsgId);
    return pMessage != nullptr && pMessage->eReceiver == eReceiver ? pMessage : nullptr;
}

/// True when `T` is the structure the catalogue gives message `ui32MsgId`.
template <class T>
constexpr bool carries(uint32_t ui32MsgId) {
    return find_message(ui32MsgId) != nullptr &&
           find_message(ui32MsgId)->ui32PayloadSize == sizeof(T);
}

/// Largest payload of any message: every structure fits a buffer of this size.
constexpr uint32_t max_payload_size() {
    uint32_t ui32Max = 0;
    for (const TOEMUIP_Message& message : g_aMessageCatalogue)
        if (message.ui32PayloadSize > ui32Max)
            ui32Max = message.ui32PayloadSize;
    return ui32Max;
}

static_assert(max_payload_size() == 516, "largest structure");

} // namespace oem_ui_process
