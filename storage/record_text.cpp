#include "storage/record_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "storage/record_format.h"

namespace tvl {

using namespace recfmt;

namespace {

const struct {
  const char* name;
  int type;
} kTypes[] = {{"short", FT_SHORT},   {"int", FT_INT},   {"float", FT_FLOAT},
              {"double", FT_DOUBLE}, {"string", FT_STRING}, {"byte", FT_BYTE},
              {"chain", FT_CHAIN},   {"autoinc", FT_AUTOINC}};

const char* type_name(int type) {
  for (auto& t : kTypes)
    if (t.type == type) return t.name;
  return "unknown";
}

// Splits a line into words; "quoted" words keep blanks and take escapes.
// A word may be name="quoted value".
bool split_words(const std::string& line, std::vector<std::string>& words, Reason& why) {
  std::size_t i = 0, n = line.size();
  while (i < n) {
    while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= n) break;
    std::string w;
    while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
      if (line[i] != '"') {
        w += line[i++];
        continue;
      }
      ++i;
      bool closed = false;
      while (i < n) {
        char c = line[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < n) {
          char e = line[i++];
          c = e == 'n' ? '\n' : e == 't' ? '\t' : e;
        }
        w += c;
      }
      if (!closed) {
        return why.fail("unterminated quote");
      }
    }
    words.push_back(w);
  }
  return true;
}

bool to_int(const std::string& s, int* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  long x = std::strtol(s.c_str(), &end, 10);
  if (*end || x < -32768 || x > 32767) return false;
  *v = int(x);
  return true;
}

int find_field(const RecordSchema& s, const std::string& name) {
  for (std::size_t i = 0; i < s.fields.size(); ++i)
    if (s.fields[i].name == name) return int(i);
  return -1;
}

bool parse_segment(const RecordSchema& s, const std::string& word, RecordSegmentSpec& seg,
                   Reason& why) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t c = word.find(':', start);
    parts.push_back(word.substr(start, c == std::string::npos ? std::string::npos : c - start));
    if (c == std::string::npos) break;
    start = c + 1;
  }
  seg.field = find_field(s, parts[0]);
  if (seg.field < 0) {
    return why.fail("unknown field \"" + parts[0] + "\" in key");
  }
  std::size_t p = 1;
  if (p < parts.size() && (parts[p] == "case" || parts[p] == "nocase")) {
    seg.mode = parts[p] == "case" ? kCaseSensitive : kCaseInsensitive;
    ++p;
  }
  if (p < parts.size() && !to_int(parts[p++], &seg.start)) {
    return why.fail("bad start in \"" + word + "\"");
  }
  if (p < parts.size() && !to_int(parts[p++], &seg.length)) {
    return why.fail("bad length in \"" + word + "\"");
  }
  if (p != parts.size()) {
    return why.fail("bad segment \"" + word + "\"");
  }
  return true;
}

bool parse_line(const std::vector<std::string>& w, RecordText& out, Reason& why) {
  RecordSchema& s = out.schema;
  const std::string& verb = w[0];
  if (verb == "format") {
    if (w.size() != 2 || (w[1] != "fixed" && w[1] != "packed")) {
      return why.fail("format is fixed or packed");
    }
    s.packed = w[1] == "packed";
    return true;
  }
  if (verb == "field") {
    if (w.size() < 3 || w.size() > 4) {
      return why.fail("field <name> <type> [<size>]");
    }
    RecordFieldSpec f;
    f.name = w[1];
    for (auto& t : kTypes)
      if (w[2] == t.name) f.type = t.type;
    if (f.type == 0) {
      return why.fail("unknown type \"" + w[2] + "\"");
    }
    if (w.size() == 4 && !to_int(w[3], &f.size)) {
      return why.fail("bad size \"" + w[3] + "\"");
    }
    if (find_field(s, f.name) >= 0) {
      return why.fail("field \"" + f.name + "\" twice");
    }
    s.fields.push_back(f);
    out.has_schema = true;
    return true;
  }
  if (verb == "key") {
    if (w.size() < 3 || (w[1] != "unique" && w[1] != "duplicate")) {
      return why.fail("key <unique|duplicate> [composite] <segment> ...");
    }
    RecordKeySpec k;
    k.duplicate_mode = w[1] == "unique" ? kUnique : kDuplicatesAllowed;
    std::size_t i = 2;
    if (w[i] == "composite") {
      k.composite = true;
      ++i;
    }
    for (; i < w.size(); ++i) {
      RecordSegmentSpec seg;
      if (!parse_segment(s, w[i], seg, why)) return false;
      k.segments.push_back(seg);
    }
    if (!k.composite && k.segments.size() != 1) {
      return why.fail("a key of several segments needs \"composite\"");
    }
    s.keys.push_back(k);
    return true;
  }
  if (verb == "record") {
    std::vector<std::pair<std::string, std::string>> rec;
    for (std::size_t i = 1; i < w.size(); ++i) {
      std::size_t eq = w[i].find('=');
      if (eq == std::string::npos || eq == 0) {
        return why.fail("record values are <field>=<value>");
      }
      rec.emplace_back(w[i].substr(0, eq), w[i].substr(eq + 1));
    }
    out.records.push_back(std::move(rec));
    return true;
  }
  return why.fail("unknown line \"" + verb + "\"");
}

}  // namespace

bool parse_record_text(const std::string& text, RecordText& out, Reason& error) {
  out = RecordText{};
  std::istringstream in(text);
  std::string line;
  for (int no = 1; std::getline(in, line); ++no) {
    std::size_t b = line.find_first_not_of(" \t\r");
    if (b == std::string::npos || line[b] == '#') continue;
    std::vector<std::string> words;
    Reason why;
    if (!split_words(line, words, why) || !parse_line(words, out, why)) {
      error.text = "line " + std::to_string(no) + ": " + why.text;
      return false;
    }
  }
  return true;
}

bool insert_text_records(RecordFile& file, const RecordText& text, Reason& error) {
  for (std::size_t r = 0; r < text.records.size(); ++r) {
    std::string which = "record " + std::to_string(r + 1);
    for (const auto& [name, value] : text.records[r]) {
      if (!file.set_field_text(value, name)) {
        error.text = which + ": cannot set field \"" + name + "\"";
        return false;
      }
    }
    if (!file.insert_record()) {
      error.text = which + ": " + file.last_error();
      return false;
    }
  }
  return true;
}

namespace {

// The header's counts and the fields (number, name, type, size); returns
// the field names, in field order.
std::vector<std::string> dump_fields(std::ostringstream& o, const uint8_t* h, RecordFile& f,
                                     const std::string& path) {
  char line[256];
  int format = get_i16(h + kRecordFormat);
  o << "file: " << path << "\n";
  std::snprintf(line, sizeof line, "record length: %d\nrecords: %d\nformat: %s\n",
                get_i32(h + kRecordLength), get_i32(h + kRecordCount),
                format == kFixedFormat ? "fixed" : "packed");
  o << line;
  std::snprintf(line, sizeof line,
                "free records: %d\nfree duplicate entries: %d\nfree chained blocks: %d\n",
                get_i32(h + kFreeRecords), get_i32(h + kFreeDuplicates), get_i32(h + kFreeChains));
  o << line;
  o << "fields: " << f.field_count() << "\n";
  std::vector<std::string> names;
  for (int i = 0; i < f.field_count(); ++i) {
    const char* slot = reinterpret_cast<const char*>(h + kFieldNames + kFieldNameSize * i);
    names.emplace_back(slot, strnlen(slot, kFieldNameSize));
    std::snprintf(line, sizeof line, "  %d %s %s %d\n", i, names.back().c_str(),
                  type_name(f.field_type(i)), f.field_size(i));
    o << line;
  }
  return names;
}

// The keys: mode, segments (by field name where the field exists) and the
// tree's anchors.
void dump_keys(std::ostringstream& o, const uint8_t* h, RecordFile& f,
               const std::vector<std::string>& names) {
  char line[256];
  int keys = get_i16(h + kKeyCount);
  o << "keys: " << keys << "\n";
  for (int k = 0; k < keys && k < kMaxKeys; ++k) {
    int nseg = get_i16(h + kSegmentCount + 2 * k);
    int dup = get_i16(h + kDuplicateMode + 2 * k);
    o << "  " << k << " " << (dup == kUnique ? "unique" : "duplicate")
      << (nseg == -1 ? "" : " composite");
    for (int j = 0; j < (nseg == -1 ? 1 : std::min(nseg, kMaxSegments)); ++j) {
      int fld = get_i16(h + segment_at(kSegmentField, k, j));
      int type = fld >= 0 && fld < f.field_count() ? f.field_type(fld) : 0;
      if (type != 0) {
        o << " " << names[std::size_t(fld)];
      } else {
        std::snprintf(line, sizeof line, " %d", fld);
        o << line;
      }
      if (type == FT_STRING) {
        std::snprintf(line, sizeof line, ":%s:%d:%d",
                      get_i16(h + segment_at(kSegmentMode, k, j)) == kCaseSensitive ? "case" : "nocase",
                      get_i16(h + segment_at(kSegmentStart, k, j)),
                      get_i16(h + segment_at(kSegmentLength, k, j)));
        o << line;
      }
    }
    std::snprintf(line, sizeof line, " (root %d, first leaf %d, last leaf %d)\n",
                  get_i32(h + kRoot + 4 * k), get_i32(h + kFirstLeaf + 4 * k),
                  get_i32(h + kLastLeaf + 4 * k));
    o << line;
  }
}

// The records in the order of `key`, one line each, texts quoted.
void dump_records(std::ostringstream& o, RecordFile& f, int key, const std::vector<std::string>& names) {
  o << "records in the order of key " << key << ":\n";
  // The walk stops at the stored count, so a damaged key cannot print for ever.
  int shown = 0, count = f.record_count();
  for (bool ok = f.move_first(key); ok && shown < count; ok = f.move_next(key), ++shown) {
    o << " ";
    for (int i = 0; i < f.field_count(); ++i) {
      o << " " << names[std::size_t(i)] << "=";
      if (f.field_type(i) == FT_STRING) {
        o << '"';
        for (char c : f.get_field_text(i)) {
          if (c == '"' || c == '\\') o << '\\' << c;
          else if (c == '\n') o << "\\n";
          else if (c == '\t') o << "\\t";
          else o << c;
        }
        o << '"';
      } else if (f.field_type(i) == FT_CHAIN) {
        o << "(chain)";
      } else {
        o << f.get_field_text(i);
      }
    }
    o << "\n";
  }
}

}  // namespace

bool dump_record_file(const std::string& path, int key, std::string& out, Reason& error) {
  std::ifstream in(path, std::ios::binary);
  std::string hdr(kHeaderSize, '\0');
  if (!in.read(hdr.data(), kHeaderSize)) {
    error.text = path + ": no record-file header";
    return false;
  }
  const uint8_t* h = reinterpret_cast<const uint8_t*>(hdr.data());
  RecordFile f;
  if (!f.open(path)) {
    error.text = path + ": " + f.last_error();
    return false;
  }
  std::ostringstream o;
  const std::vector<std::string> names = dump_fields(o, h, f, path);
  dump_keys(o, h, f, names);
  dump_records(o, f, key, names);
  out = o.str();
  return true;
}

}  // namespace tvl
