// File functions of the OEM UI process (target `oem_files`).
//
// A hand-off file holds one JSON document as text. Writers go through a
// temporary file in the same folder and rename it into place, so a reader
// sees either the previous document or the new one, never half of one.
// Paths are relocated under VQ_PLATFORM_ROOT when that is set.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_messages.h"

#include <rapidjson/document.h>

#include <cstddef>
#include <string>

namespace oem_ui_process {

// Creates the missing parent folders of `path` and the file itself; an
// existing file keeps its content unless bTruncate is set. True when a regular
// file is there afterwards.
bool create_file(const std::string& path, bool bTruncate);

// Parses the file named by `info` into `document`. On failure (no file, empty
// file, text that is not exactly one JSON document, nesting deeper than
// OEMUIP_MAX_JSON_DEPTH) returns false and leaves `document` as it was.
bool read_json_from_file(const TJsonFile_Info& info, rapidjson::Document& document);

// Writes `value` as compact JSON into the file named by `info`, creating its
// folders when missing. False when the value cannot be written as JSON (e.g.
// NaN, nesting deeper than OEMUIP_MAX_JSON_DEPTH) or the file system refuses.
bool write_json_to_file(const TJsonFile_Info& info, const rapidjson::Value& value);

// A text field of a wire structure as a string: up to its first zero byte or
// the field size, whichever comes first.
std::string field_text(const char* field, std::size_t size);

// The file path that `info` names (same rule as field_text).
std::string json_file_path(const TJsonFile_Info& info);

} // namespace oem_ui_process
