// The operator's check of a program folder (`tvlctl check`): reads what the
// chat keeps there and says what is wrong, without starting or changing
// anything: option.ini's values (check_settings_file), rooms.sdb (damaged,
// a folder in its place, locked), and private files that other users may
// read (users/ and log/, which the server tightens at its start).
#pragma once
#include <string>
#include <vector>

namespace tvl {

// One text per problem, each naming the file; empty when nothing is wrong.
std::vector<std::string> check_program_folder(const std::string& program_folder);

}  // namespace tvl
