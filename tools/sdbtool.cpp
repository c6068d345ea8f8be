// sdbtool: makes, fills and prints record files (rooms.sdb and files of the
// same format). The build uses it to turn site/rooms.txt into dist/rooms.sdb.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "storage/record_file.h"
#include "storage/record_file_create.h"
#include "storage/record_text.h"

namespace {

const char kHelp[] =
    "usage: sdbtool create <file.sdb> <list.txt>   make a new file (replacing one) from the\n"
    "                                              schema and records of list.txt\n"
    "       sdbtool add <file.sdb> <list.txt>      add the records of list.txt to a file\n"
    "       sdbtool dump <file.sdb> [<key>]        print header, keys and records in key order\n"
    "                                              (key 0 unless given)\n"
    "\n"
    "list.txt holds one item a line; blank lines and lines beginning with # are skipped:\n"
    "  format fixed|packed              record format (default fixed)\n"
    "  field <name> <type> [<size>]     in field order; types: short int float double\n"
    "                                   string byte chain autoinc; string needs its size\n"
    "  key <unique|duplicate> [composite] <segment> ...\n"
    "                                   in key order; segment: <field>[:case|:nocase]\n"
    "                                   [:<start>[:<length>]] (strings: case-sensitive,\n"
    "                                   whole field by default); without \"composite\"\n"
    "                                   a key has exactly one segment\n"
    "  record <field>=<value> ...        one record; values are bare words or \"quoted\"\n"
    "                                   (\\\" \\\\ \\n \\t); unnamed fields stay zero;\n"
    "                                   autoinc fields are numbered by the engine\n"
    "\n"
    "example:\n"
    "  field id autoinc\n"
    "  field name string 64\n"
    "  key unique id\n"
    "  record name=\"Lobby\"\n";

bool read_text(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

int fail(const std::string& text) {
  std::fprintf(stderr, "sdbtool: %s\n", text.c_str());
  return 1;
}

int load_list(const std::string& path, tvl::RecordText& list) {
  std::string text;
  tvl::Reason why;
  if (!read_text(path, text)) return fail("cannot read " + path);
  if (!tvl::parse_record_text(text, list, why)) return fail(path + ": " + why.text);
  return 0;
}

int add_records(const std::string& file, const tvl::RecordText& list) {
  tvl::RecordFile f;
  if (!f.open(file)) return fail(file + ": " + f.last_error());
  tvl::Reason why;
  bool ok = tvl::insert_text_records(f, list, why);
  if (!f.close()) {
    ok = false;
    if (why.text.empty()) why.text = "the records could not be written back";
  }
  return ok ? 0 : fail(file + ": " + why.text);
}

}  // namespace

int main(int argc, char** argv) {
  std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if ((cmd == "create" || cmd == "add") && argc == 4) {
    tvl::RecordText list;
    if (int rc = load_list(argv[3], list)) return rc;
    if (cmd == "create") {
      if (!list.has_schema) return fail(std::string(argv[3]) + ": no field lines");
      tvl::Reason error;
      if (!tvl::create_record_file(argv[2], list.schema, error)) return fail(error.text);
    }
    return add_records(argv[2], list);
  }
  if (cmd == "dump" && (argc == 3 || argc == 4)) {
    int key = argc == 4 ? std::atoi(argv[3]) : 0;
    std::string out;
    tvl::Reason why;
    if (!tvl::dump_record_file(argv[2], key, out, why)) return fail(why.text);
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  std::fputs(kHelp, stderr);
  return 2;
}
