// Filling page templates: every occurrence of a marker is replaced by a
// value, left to right, without overlap; the inserted text is not searched
// again by the same replacement (later replacements do search it).
#pragma once
#include <string>

namespace tvl {

void fill_marker(std::string& page, const std::string& marker, const std::string& value);

}  // namespace tvl
