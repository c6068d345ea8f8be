// File-system stand-ins: the program folder, folder creation, file search and
// whole-file reads and writes. Paths use "/"; folders handed out end in "/".
// Thread safety: every function may be called from any thread.
#pragma once
#include <string>
#include <vector>

#include "platform/reason.h"

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
// Creates one folder for private files (mode 0700). True when it exists
// afterwards as a folder (an existing one keeps its mode).
bool make_private_directory(const std::string& path);
// Sets the permission bits of a file or folder (not following a symbolic
// link's target: links are left alone). False when that failed.
[[nodiscard]] bool set_file_mode(const std::string& path, int mode);

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

// Reads at most `max_bytes` bytes of a file from byte `offset` on; *size
// receives the file's whole size. False (out untouched) when it cannot be
// opened.
bool read_file_part(const std::string& path, long long offset, std::size_t max_bytes,
                    std::string& out, long long* size);

// Creates or truncates the file and writes data. False on any failure.
bool write_whole_file(const std::string& path, const std::string& data);
// The same, with the reason when it fails: "cannot create <path>: <the
// system's text>", or "cannot write <path>" (a file may then stand there,
// cut short).
[[nodiscard]] bool write_whole_file(const std::string& path, const std::string& data,
                                    Reason& why);

bool delete_file(const std::string& path);

// Writes `data` into a file that must not exist yet (created exclusively,
// mode 0644, or `mode` when not negative), then flushes it to the disk.
// False when the file existed, or any step failed (a full disk, a write
// cut short); a file this call created is then removed again, so nothing of
// it stays behind.
[[nodiscard]] bool write_new_file_synced(const std::string& path, const std::string& data,
                                         int mode = -1);

// Replaces the file's contents whole: `data` is written to "<path>.new"
// (with the old file's permission bits), flushed and renamed over `path`.
// False when any step failed (a full disk): `path` then holds exactly what
// it held before, and no ".new" file stays.
[[nodiscard]] bool replace_whole_file(const std::string& path, const std::string& data);

// Moves `from` over `to` in one step (the old `to` is replaced whole).
// False when that failed; both files then are as they were.
[[nodiscard]] bool rename_file(const std::string& from, const std::string& to);

// Makes `to` a second name of the file `from`, only when `to` does not exist
// (of many callers racing for one name, exactly one wins). False when `to`
// exists or the link could not be made; nothing changed then.
[[nodiscard]] bool link_file_exclusive(const std::string& from, const std::string& to);

// Moves `from` to the name `to` in one step, only when `to` does not exist:
// the file has one name or the other at every moment, never both. False
// when `to` exists or the move failed; nothing changed then.
[[nodiscard]] bool rename_file_exclusive(const std::string& from, const std::string& to);

// Permission bits of a file (07777), or -1 when it cannot be looked at.
int file_mode(const std::string& path);

// A stamp that changes when entries of a folder are added, removed or
// renamed (its change time, in nanoseconds); -1 when it cannot be looked at.
// Changes within the file system's clock step may share a stamp, so callers
// that cache a listing treat a stamp younger than folder_stamp_settle_ns()
// as not settled yet.
long long folder_change_stamp(const std::string& folder);
long long folder_stamp_now_ns();
constexpr long long folder_stamp_settle_ns() { return 2'000'000'000LL; }

}  // namespace tvl
