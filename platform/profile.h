// Profile files ("INI" files) with the rules the system's files were written
// under, because option.ini and the account files are edited by hand and by
// other tools:
//  - section and key names are found without regard to letter case;
//  - blanks around names and values are ignored;
//  - one pair of matching quotes ('...' or "...") around a value is removed
//    when it is read;
//  - a missing file, section or key gives the default;
//  - a value read with a buffer of `size` characters is cut to size-1;
//  - a write creates the file, the section or the key as needed and keeps
//    every other line, comment and key exactly as it was; lines it writes end
//    in CR LF.
//  - a reader looks at the first 1 MiB of a file only (its whole lines); a
//    writer keeps the whole file, and both take time linear in what they
//    read.
// Thread safety: calls on the same file are serialised inside the module, so
// a reader never sees a half-written file of this process. Other processes
// may interleave as they do with any shared file.
#pragma once
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace tvl {

std::string get_profile_string(const std::string& section, const std::string& key,
                               const std::string& default_value, std::size_t size,
                               const std::string& path);

// False when the file cannot be created or written (see write_profile_strings).
[[nodiscard]] bool write_profile_string(const std::string& section, const std::string& key,
                          const std::string& value, const std::string& path);

// Sets several keys of one section, in the given order, as one replacement
// of the whole file (a temporary file beside it, flushed, then moved over
// it): afterwards the file holds either all of the new values or, when the
// write failed, exactly what it held before.
// False when `path` is a folder, exists but cannot be read, or the new file
// could not be written whole (a full disk) or moved into place; the old file
// then stays byte for byte and no temporary file stays behind.
[[nodiscard]] bool write_profile_strings(const std::string& section,
                           const std::vector<std::pair<std::string, std::string>>& values,
                           const std::string& path);

// Creates a new file holding the keys of one section, exclusively: of several
// callers racing for one path exactly one succeeds, and the file appears
// whole under its name or not at all.
// The file gets the permission bits `mode` (0644 when negative).
// False when `path` exists already or the file could not be written; nothing
// is left behind then.
[[nodiscard]] bool create_profile_strings(
    const std::string& section, const std::vector<std::pair<std::string, std::string>>& values,
    const std::string& path, int mode = -1);

// Whether a file name is one of the temporary files the writes above make
// (".#<name>.tmp-<pid>-<n>"). A signal or a crash between writing and
// moving one may leave it behind; it is never one of the files it stands
// beside.
bool is_profile_leftover(const std::string& file_name);

// Deletes every such leftover of a folder (`folder` ends in "/"); done at
// start, before anything reads the folder.
void remove_profile_leftovers(const std::string& folder);

}  // namespace tvl
