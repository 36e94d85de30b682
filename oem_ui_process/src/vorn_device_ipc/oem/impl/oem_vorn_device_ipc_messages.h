// Message catalogue and wire layouts of the channel between the OEM UI process
// and the device's engine process. Both sides exchange these structures byte for
// byte in the device's native (little-endian) order, so the layouts are packed
// and checked at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace oem_ui_process {

// Identifiers 1..30 travel from the engine process to the OEM UI process,
// 100..109 the other way. 19..29, 105 and 106 are not defined.
enum EOEMUIP_CommandId : uint32_t {
    EOEMUIP_HUL_publish = 1,
    EOEMUIP_HUL_shutdown = 2,
    EOEMUIP_HUL_engine_set_config = 3,
    EOEMUIP_HUL_engine_send_command = 4,
    EOEMUIP_HUL_engine_send_query = 5,
    EOEMUIP_HUL_engine_get_storage_dir = 6,
    EOEMUIP_HUL_engine_get_storage_ext = 7,
    EOEMUIP_HUL_engine_get_storage_name = 8,
    EOEMUIP_HUL_engine_load = 9,
    EOEMUIP_HUL_engine_save = 10,
    EOEMUIP_HUL_engine_delete = 11,
    EOEMUIP_HUL_engine_is_present = 12,
    EOEMUIP_HUL_engine_get_ios = 13,
    EOEMUIP_HUL_engine_reset_to_factory = 14,
    EOEMUIP_HUL_engine_recall = 15,
    EOEMUIP_HUL_engine_store = 16,
    EOEMUIP_HUL_engine_get_directories = 17,
    EOEMUIP_HUL_engine_on_directory_file_changed = 18,
    EOEMUIP_HUL_device_started = 30,

    EOEMUIP_OEM_ready = 100,
    EOEMUIP_OEM_get_config = 101,
    EOEMUIP_OEM_set_config = 102,
    EOEMUIP_OEM_send_command = 103,
    EOEMUIP_OEM_send_query = 104,
    EOEMUIP_OEM_engine_publish = 107,
    EOEMUIP_OEM_engine_io_changed = 108,
    EOEMUIP_OEM_engine_load_done = 109,
};

// Handler results; the receiver's result comes back to the sender as the
// message's error value.
enum EOEMUIP_CommandError : int32_t {
    EOEMUIPE_Success = 0,
    EOEMUIPE_Fail = -1,
    EOEMUIPE_BadArgument = -2,
    EOEMUIPE_UnknownMessage = -3,
};

// Every text field holds a zero-terminated, zero-padded string; a sender may
// still fill a field completely, so readers stop at the field size.
enum : std::size_t {
    OEMUIP_TEXT_FIELD_SIZE = 256,
    OEMUIP_CHANNEL_FIELD_SIZE = 64,
};

#pragma pack(push, 1)

// Names a hand-off file holding the message's JSON document.
struct TJsonFile_Info {
    char szJSONDataFilePath[OEMUIP_TEXT_FIELD_SIZE];
    uint32_t ui32JsonId;
};

struct THUL_publish {
    char szChannelName[OEMUIP_CHANNEL_FIELD_SIZE];
    TJsonFile_Info JsonFile_Info;
};

struct THUL_engine_set_config {
    TJsonFile_Info JsonFile_Info;
};

struct THUL_engine_get_ios {
    TJsonFile_Info JsonFile_Info;
};

struct THUL_engine_json_file {
    TJsonFile_Info JsonFile_Info;
};

struct TOEM_get_config {
    TJsonFile_Info JsonFile_Info;
};

struct TOEM_configure {
    TJsonFile_Info JsonFile_Info;
};

struct THUL_engine_get_storage_dir {
    char sz[OEMUIP_TEXT_FIELD_SIZE];
};

struct THUL_engine_get_storage_ext {
    char sz[OEMUIP_TEXT_FIELD_SIZE];
};

struct THUL_engine_get_storage_name {
    char sz[OEMUIP_TEXT_FIELD_SIZE];
};

struct THUL_engine_load_save {
    char sz[OEMUIP_TEXT_FIELD_SIZE];
};

struct THUL_engine_load {
    char strStorageName[OEMUIP_TEXT_FIELD_SIZE];
    TJsonFile_Info JsonFile_Info;
};

struct THUL_engine_recall_store {
    char strStorageName[OEMUIP_TEXT_FIELD_SIZE];
    uint32_t uiId;
    char strPath[OEMUIP_TEXT_FIELD_SIZE];
};

struct TOEM_send_command {
    char szCommand[OEMUIP_TEXT_FIELD_SIZE];
};

struct TOEM_send_query {
    char szQuery[OEMUIP_TEXT_FIELD_SIZE];
    TJsonFile_Info JsonFile_Info;
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
