// The text form of a record file used by the record-file tool (sdbtool) and
// the build's room list: schema lines, record lines, and a printable dump.
//
//   # comment (also blank lines)
//   format fixed|packed
//   field <name> <type> [<size>]   type: short int float double string byte
//                                  chain autoinc; string needs a size
//   key <unique|duplicate> [composite] <segment> [<segment> ...]
//        segment: <field>[:case|:nocase][:<start>[:<length>]]
//        without "composite" a key has one segment (a single-field key)
//   record <field>=<value> ...     value: bare word or "quoted" (\" \\ \n \t);
//                                  fields not named stay zero; autoinc fields
//                                  are assigned by the engine
//
// Thread safety: plain functions without shared state.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "platform/reason.h"
#include "storage/record_file.h"
#include "storage/record_file_create.h"

namespace tvl {

struct RecordText {
  RecordSchema schema;
  bool has_schema = false;  // at least one field line
  std::vector<std::vector<std::pair<std::string, std::string>>> records;
};

// Parses the text. False on the first fault ("line N: ..." in `why`).
[[nodiscard]] bool parse_record_text(const std::string& text, RecordText& out, Reason& why);

// Inserts the records into an open file through set_field_text. False on the
// first record that cannot be set or inserted; the records before it stay.
[[nodiscard]] bool insert_text_records(RecordFile& file, const RecordText& text, Reason& why);

// The header, keys and every record of the file at path in the order of key
// `key`, as text. False when the file cannot be read.
[[nodiscard]] bool dump_record_file(const std::string& path, int key, std::string& out,
                                    Reason& why);

}  // namespace tvl
