// Where hand-off files may lie, and opening them so that a peer that names
// one cannot make us touch anything else.
//
// A hand-off file is accepted only inside one of the hand-off folders (named
// as the peers name them, relocated under VQ_PLATFORM_ROOT like every other
// path): no "." or ".." step, no symbolic link at any level below the root,
// a regular file of at most kMaxHandoffFileSize bytes. Folders are never
// made for a peer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vq_platform {

// Configurations are tens of kilobytes; a parsed document costs several
// times its text, so the cap keeps one read far below the process's budget.
const std::size_t kMaxHandoffFileSize = 4u * 1024u * 1024u;

// The hand-off folders: the OEM UI process's ("/tmp/oem") and the engine's
// ("/tmp/engine_sim" for engine_sim).
std::vector<std::string> handoff_folders();

// Replaces the list (absolute paths, without a trailing slash); an empty list
// restores the default. For tests and for platforms whose engine keeps its
// files elsewhere.
void set_handoff_folders(const std::vector<std::string>& folders);

// True when `path` names a file inside one of the hand-off folders, without
// "." or ".." steps (whatever the file system holds there).
bool is_handoff_path(const std::string& path);

// The folder of hand-off file `path` opened (O_DIRECTORY), and the file's
// name in it; -1 with `why` set when `path` is not a hand-off file's path or a
// step on the way is missing (errno ENOENT) or not a plain folder.
int open_handoff_folder(const std::string& path, std::string& name, std::string& why);

// Opens hand-off file `path` for reading: a regular file within the size cap,
// opened without blocking (a FIFO never holds us) and returned in blocking
// mode. -1 with `why` set when refused (errno ENOENT when the file or a
// folder on its way is missing).
int open_handoff_for_reading(const std::string& path, std::string& why);

// Reads at most `limit` bytes from `fd`; false on an error or when there is
// more (the file grew past the cap since it was checked).
bool read_capped(int fd, std::size_t limit, std::string& out);

} // namespace vq_platform
