// Helpers of the fuzz targets: a private scratch folder, removed when the
// fuzzer ends, and a way to cut one input into several texts.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tvl::fuzz {

// A folder of this process under $TMPDIR (or /tmp), ending in "/". Made on
// first use, with its contents removed at exit. Also points
// TAVELLA_STATE_DIR and XDG_CONFIG_HOME into it, so nothing a target reaches
// touches the real system.
const std::string& scratch_folder();

void write_file(const std::string& path, const std::string& data);

// The input cut at each zero byte into at most `parts` texts (the last one
// takes the rest, zero bytes included); missing parts are empty.
std::vector<std::string> split_input(const uint8_t* data, std::size_t size, std::size_t parts);

}  // namespace tvl::fuzz
