// The registry stand-in: typed values under key paths, kept in the text file
// "registry.txt" in the state folder. Key paths are kept as written (the
// first writer's spelling stays); keys and value names are found without
// regard to letter case, as the registry does. Keys exist only while they
// hold a value; creating a key without a value leaves no trace.
//
// File format (UTF-8/ANSI text, LF line ends), one key block after another:
//   line                              meaning
//   [<key path>]                      starts a key, e.g.
//                                     [HKEY_LOCAL_MACHINE\software\KTR Software Inc.\Chat Service\Settings]
//   "<name>"=dword:<8 hex digits>     32-bit number
//   "<name>"="<text>"                 string
//   "<name>"=expand:"<text>"          string with environment references
//   ; ... or empty                    ignored
// In <name> and <text>, '\\', '"' and line feed are written "\\\\", "\\\"" and
// "\\n". Lines that do not parse are dropped at the next write.
//
// Thread and process safety: readers take a shared flock on the file,
// writers an exclusive one and rewrite it in place, so a reader never sees a
// half-written file, in this process or another.
#pragma once
#include <cstdint>
#include <string>

namespace tvl {

// state_folder() + "registry.txt".
std::string registry_file_path();

// False when the file, the key or the value is missing or of another type.
bool registry_get_dword(const std::string& key, const std::string& name, std::uint32_t& value);
bool registry_get_string(const std::string& key, const std::string& name, std::string& value);

// Create the file (and the state folder), the key and the value as needed.
// False when the file cannot be written.
bool registry_set_dword(const std::string& key, const std::string& name, std::uint32_t value);
bool registry_set_string(const std::string& key, const std::string& name,
                         const std::string& value, bool expandable = false);

// True when the value is gone afterwards (also when it never existed).
bool registry_delete_value(const std::string& key, const std::string& name);

}  // namespace tvl
