/// \file
/// Message catalogue and wire layouts of the channel between the OEM UI process
/// and the device's engine process. Both sides exchange these structures byte for
/// byte in the device's native (little-endian) order, so the layouts are packed
/// and checked at compile time. Text fields hold a zero-terminated, zero-padded string.
#pragma once

#include <cstddef>
#include <cstdint>

namespace oem_ui_process {

/// Message identifiers: 1..30 travel from the engine process to the OEM UI process,
/// 100..109 the other way. 19..29, 105 and 106 are not defined. Each names its payload and
/// the operation it reaches.
enum EOEMUIP_CommandId : uint32_t {
    /// THUL_publish: a document on a channel, to on_publish().
    EOEMUIP_HUL_publish = 1,
    /// No payload: on_shutdown().
    EOEMUIP_HUL_shutdown = 2,
    /// THUL_engine_set_config: engine set_config().
    EOEMUIP_HUL_engine_set_config = 3,
    /// TOEM_send_command: engine send_command().
    EOEMUIP_HUL_engine_send_command = 4,
    /// TOEM_send_query: engine send_query(), answer in the named file.
    EOEMUIP_HUL_engine_send_query = 5,
    /// No payload: engine get_storage_dir(), reply THUL_engine_get_storage_dir.
    EOEMUIP_HUL_engine_get_storage_dir = 6,
    /// No payload: engine get_storage_ext(), reply THUL_engine_get_storage_ext.
    EOEMUIP_HUL_engine_get_storage_ext = 7,
    /// No payload: engine get_storage_name(), reply THUL_engine_get_storage_name.
    EOEMUIP_HUL_engine_get_storage_name = 8,
    /// THUL_engine_load: engine load().
    EOEMUIP_HUL_engine_load = 9,
    /// THUL_engine_load_save: engine save().
    EOEMUIP_HUL_engine_save = 10,
    /// THUL_engine_load_save: engine delete_storage().
    EOEMUIP_HUL_engine_delete = 11,
    /// No payload: engine is_present().
    EOEMUIP_HUL_engine_is_present = 12,
    /// THUL_engine_get_ios: engine get_ios(), answer in the named file.
    EOEMUIP_HUL_engine_get_ios = 13,
    /// No payload: engine reset_to_factory().
    EOEMUIP_HUL_engine_reset_to_factory = 14,
    /// THUL_engine_recall_store: engine recall().
    EOEMUIP_HUL_engine_recall = 15,
    /// THUL_engine_recall_store: engine store().
    EOEMUIP_HUL_engine_store = 16,
    /// THUL_engine_json_file: engine get_directories(), answer in the named file.
    EOEMUIP_HUL_engine_get_directories = 17,
    /// THUL_engine_json_file: engine on_directory_file_changed().
    EOEMUIP_HUL_engine_on_directory_file_changed = 18,
    /// No payload: on_device_started().
    EOEMUIP_HUL_device_started = 30,

    /// No payload: oem_ui_process_ready().
    EOEMUIP_OEM_ready = 100,
    /// TOEM_get_config: get_config(), configuration in the named file.
    EOEMUIP_OEM_get_config = 101,
    /// TOEM_configure: set_config().
    EOEMUIP_OEM_set_config = 102,
    /// TOEM_send_command: send_command().
    EOEMUIP_OEM_send_command = 103,
    /// TOEM_send_query: send_query(), answer in the named file.
    EOEMUIP_OEM_send_query = 104,
    /// THUL_publish: engine_publish().
    EOEMUIP_OEM_engine_publish = 107,
    /// No payload: engine_io_changed().
    EOEMUIP_OEM_engine_io_changed = 108,
    /// No payload: engine_load_done().
    EOEMUIP_OEM_engine_load_done = 109,
};

/// Handler results; the receiver's result comes back to the sender as the
/// message's error value.
enum EOEMUIP_CommandError : int32_t {
    EOEMUIPE_Success = 0,         ///< handled
    EOEMUIPE_Fail = -1,           ///< refused, no callback for it, or the callback failed
    EOEMUIPE_BadArgument = -2,    ///< payload or reply buffer too short
    EOEMUIPE_UnknownMessage = -3, ///< unknown identifier, or the named document is unreadable
};

/// Every text field holds a zero-terminated, zero-padded string; a sender may
/// still fill a field completely, so readers stop at the field size.
enum : std::size_t {
    OEMUIP_TEXT_FIELD_SIZE = 256,   ///< bytes of a text field (at most 255 characters sent)
    OEMUIP_CHANNEL_FIELD_SIZE = 64, ///< bytes of a channel name field (at most 63 sent)
};

/// Deepest nesting of arrays and objects in a hand-off document. JSON is parsed,
/// copied and written recursively; a peer's document nested deeper is refused
/// rather than allowed to exhaust the stack.
enum : std::size_t {
    OEMUIP_MAX_JSON_DEPTH = 512, ///< levels ("[]" is one)
};

#pragma pack(push, 1)

/// Names a hand-off file holding the message's JSON document (260 bytes).
struct TJsonFile_Info {
    char szJSONDataFilePath[OEMUIP_TEXT_FIELD_SIZE]; ///< path of the file
    uint32_t ui32JsonId; ///< the sender's sequence number, one per document it hands off
};

/// A publication (messages 1 and 107, 324 bytes).
struct THUL_publish {
    char szChannelName[OEMUIP_CHANNEL_FIELD_SIZE]; ///< channel name
    TJsonFile_Info JsonFile_Info;                  ///< the published document
};

/// Engine configuration change (message 3, 260 bytes).
struct THUL_engine_set_config {
    TJsonFile_Info JsonFile_Info; ///< the configuration document
};

/// Engine I/O description request (message 13, 260 bytes).
struct THUL_engine_get_ios {
    TJsonFile_Info JsonFile_Info; ///< where the receiver writes the description
};

/// A message that carries only a document (messages 17 and 18, 260 bytes).
struct THUL_engine_json_file {
    TJsonFile_Info JsonFile_Info; ///< the document, or where the answer goes (17)
};

/// Configuration request (message 101, 260 bytes).
struct TOEM_get_config {
    TJsonFile_Info JsonFile_Info; ///< where the engine process writes the configuration
};

/// Configuration change (message 102, 260 bytes).
struct TOEM_configure {
    TJsonFile_Info JsonFile_Info; ///< the change
};

/// Reply to message 6 (256 bytes).
struct THUL_engine_get_storage_dir {
    char sz[OEMUIP_TEXT_FIELD_SIZE]; ///< the storage folder
};

/// Reply to message 7 (256 bytes).
struct THUL_engine_get_storage_ext {
    char sz[OEMUIP_TEXT_FIELD_SIZE]; ///< the file name extension
};

/// Reply to message 8 (256 bytes).
struct THUL_engine_get_storage_name {
    char sz[OEMUIP_TEXT_FIELD_SIZE]; ///< the current storage name
};

/// Save or delete (messages 10 and 11, 256 bytes).
struct THUL_engine_load_save {
    char sz[OEMUIP_TEXT_FIELD_SIZE]; ///< the name
};

/// Load (message 9, 516 bytes).
struct THUL_engine_load {
    char strStorageName[OEMUIP_TEXT_FIELD_SIZE]; ///< the storage name
    TJsonFile_Info JsonFile_Info;                ///< the data to load
};

/// Recall or store (messages 15 and 16, 516 bytes).
struct THUL_engine_recall_store {
    char strStorageName[OEMUIP_TEXT_FIELD_SIZE]; ///< the storage name
    uint32_t uiId;                               ///< carried, not used
    char strPath[OEMUIP_TEXT_FIELD_SIZE];        ///< the path
};

/// A command (messages 4 and 103, 256 bytes).
struct TOEM_send_command {
    char szCommand[OEMUIP_TEXT_FIELD_SIZE]; ///< the command
};

/// A query (messages 5 and 104, 516 bytes).
struct TOEM_send_query {
    char szQuery[OEMUIP_TEXT_FIELD_SIZE]; ///< the query
    TJsonFile_Info JsonFile_Info;         ///< where the receiver writes the answer
};

#pragma pack(pop)

static_assert(sizeof(TJsonFile_Info) == 260, "TJsonFile_Info layout");
static_assert(offsetof(TJsonFile_Info, szJSONDataFilePath) == 0, "TJsonFile_Info layout");
static_assert(offsetof(TJsonFile_Info, ui32JsonId) == 256, "TJsonFile_Info layout");

static_assert(sizeof(THUL_publish) == 324, "THUL_publish layout");
static_assert(offsetof(THUL_publish, szChannelName) == 0, "THUL_publish layout");
static_assert(offsetof(THUL_publish, JsonFile_Info) == 64, "THUL_publish layout");

static_assert(sizeof(THUL_engine_set_config) == 260, "THUL_engine_set_config layout");
static_assert(sizeof(THUL_engine_get_ios) == 260, "THUL_engine_get_ios layout");
static_assert(sizeof(THUL_engine_json_file) == 260, "THUL_engine_json_file layout");
static_assert(sizeof(TOEM_get_config) == 260, "TOEM_get_config layout");
static_assert(sizeof(TOEM_configure) == 260, "TOEM_configure layout");

static_assert(sizeof(THUL_engine_get_storage_dir) == 256, "THUL_engine_get_storage_dir layout");
static_assert(sizeof(THUL_engine_get_storage_ext) == 256, "THUL_engine_get_storage_ext layout");
static_assert(sizeof(THUL_engine_get_storage_name) == 256, "THUL_engine_get_storage_name layout");
static_assert(sizeof(THUL_engine_load_save) == 256, "THUL_engine_load_save layout");

static_assert(sizeof(THUL_engine_load) == 516, "THUL_engine_load layout");
static_assert(offsetof(THUL_engine_load, strStorageName) == 0, "THUL_engine_load layout");
static_assert(offsetof(THUL_engine_load, JsonFile_Info) == 256, "THUL_engine_load layout");

static_assert(sizeof(THUL_engine_recall_store) == 516, "THUL_engine_recall_store layout");
static_assert(offsetof(THUL_engine_recall_store, strStorageName) == 0,
              "THUL_engine_recall_store layout");
static_assert(offsetof(THUL_engine_recall_store, uiId) == 256, "THUL_engine_recall_store layout");
static_assert(offsetof(THUL_engine_recall_store, strPath) == 260,
              "THUL_engine_recall_store layout");

static_assert(sizeof(TOEM_send_command) == 256, "TOEM_send_command layout");
static_assert(offsetof(TOEM_send_command, szCommand) == 0, "TOEM_send_command layout");

static_assert(sizeof(TOEM_send_query) == 516, "TOEM_send_query layout");
static_assert(offsetof(TOEM_send_query, szQuery) == 0, "TOEM_send_query layout");
static_assert(offsetof(TOEM_send_query, JsonFile_Info) == 256, "TOEM_send_query layout");

} // namespace oem_ui_process
