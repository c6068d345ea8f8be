// File-system stand-ins: the program folder, folder creation, file search and
// whole-file reads and writes. Paths use "/"; folders handed out end in "/".
// Thread safety: every function may be called from any thread.
#pragma once
#include <string>
#include <vector>

namespace tvl {

// Folder of the running executable (from /proc/self/exe), ending in "/".
// Empty when the link cannot be read.
std::string program_folder();

// Folder for machine-wide state (locks, service database, registry file):
// $TAVELLA_STATE_DIR when set, else /var/lib/tavella/. Always ends in "/".
// Does not create it.
std::string state_folder();

// Creates one folder (mode 0755). True when it exists afterwards as a folder.
bool make_directory(const std::string& path);

bool is_regular_file(const std::string& path);
bool is_directory(const std::string& path);
// Whether this process may write to the file or folder (false also when it
// does not exist, or lies on a file system mounted read-only).
bool is_writable(const std::string& path);

// Files (never folders) matching a pattern such as "/opt/t/images/*.gif",
// as bare file names in the order the file system lists them. The pattern's
// last component may hold "*" and "?"; matching is case-sensitive.
// A missing folder gives an empty list.
std::vector<std::string> find_files(const std::string& pattern);

// Every entry of a folder (files, folders and anything else, but not "." and
// ".."), as bare names in the order the file system lists them. A missing
// folder gives an empty list.
std::vector<std::string> list_folder(const std::string& folder);

// Reads a whole file opened read-only. False (out untouched) when it cannot
// be opened; a short read keeps what was read.
bool read_whole_file(const std::string& path, std::string& out);

// Reads at most the first `max_bytes` bytes of a file opened read-only;
// `cut` tells whether the file holds more. False (out untouched) when it
// cannot be opened.
bool read_file_head(const std::string& path, std::size_t max_bytes, std::string& out, bool& cut);

// Creates or truncates the file and writes data. False on any failure.
bool write_whole_file(const std::string& path, const std::string& data);

bool delete_file(const std::string& path);

}  // namespace tvl
