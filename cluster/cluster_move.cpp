#include "cluster/cluster_move.h"

#include "cluster/shared_accounts.h"
#include "cluster/shared_rooms.h"

namespace tvl {

namespace {

std::string account_line(const char* verb, const AccountMove& move, const char* kept_words) {
  std::string line = "accounts " + std::string(verb) + ": " + std::to_string(move.moved);
  if (move.kept) line += ", " + std::to_string(move.kept) + " " + kept_words;
  if (move.skipped) line += ", " + std::to_string(move.skipped) + " skipped (no account file or name)";
  return line + "\n";
}

}  // namespace

bool import_into_cluster(RedisPool& pool, const std::string& program_folder, std::string& report,
                         Reason& why) {
  AccountMove accounts;
  const bool ok = import_accounts(pool, program_folder, accounts, why);
  report += account_line("imported", accounts, "already in the cluster, kept as they are");
  if (!ok) return false;
  int rooms = 0;
  bool kept = false;
  if (!import_rooms(pool, program_folder, rooms, kept, why)) return false;
  report += kept ? "rooms: the cluster holds rooms already, kept as they are\n"
                 : "rooms imported: " + std::to_string(rooms) + "\n";
  return true;
}

bool export_from_cluster(RedisPool& pool, const std::string& program_folder, std::string& report,
                         Reason& why) {
  AccountMove accounts;
  const bool ok = export_accounts(pool, program_folder, accounts, why);
  report += account_line("exported", accounts, "");
  if (!ok) return false;
  int rooms = 0;
  if (!export_rooms(pool, program_folder, rooms, why)) return false;
  report += "rooms exported: " + std::to_string(rooms) + "\n";
  return true;
}

}  // namespace tvl
