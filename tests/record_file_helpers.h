// Helpers shared by the record-file suites: schema builders and raw access
// to the bytes of a file.
#pragma once
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "storage/record_file.h"
#include "storage/record_file_create.h"
#include "storage/record_format.h"

namespace tvl::rft {

inline RecordFieldSpec field(const std::string& name, int type, int size = 0) {
  return RecordFieldSpec{name, type, size};
}

inline RecordKeySpec single_key(int field, int dup = 2, int mode = 1, int start = 0, int length = 0) {
  RecordKeySpec k;
  k.duplicate_mode = dup;
  k.segments.push_back(RecordSegmentSpec{field, mode, start, length});
  return k;
}

inline RecordKeySpec composite_key(int dup, std::initializer_list<RecordSegmentSpec> segs) {
  RecordKeySpec k;
  k.duplicate_mode = dup;
  k.composite = true;
  k.segments = segs;
  return k;
}

inline std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_bytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// Overwrites bytes of an existing file at offset (extending it if needed).
inline void patch(const std::string& path, long offset, const std::string& data) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(offset);
  f.write(data.data(), std::streamsize(data.size()));
}

inline std::string le32(int32_t v) {
  std::string s(4, '\0');
  recfmt::put_i32(reinterpret_cast<uint8_t*>(s.data()), v);
  return s;
}
inline std::string le16(int v) {
  std::string s(2, '\0');
  recfmt::put_i16(reinterpret_cast<uint8_t*>(s.data()), v);
  return s;
}

inline int32_t i32_at(const std::string& bytes, std::size_t off) {
  if (off + 4 > bytes.size()) return INT32_MIN;
  return recfmt::get_i32(reinterpret_cast<const uint8_t*>(bytes.data()) + off);
}
inline int i16_at(const std::string& bytes, std::size_t off) {
  if (off + 2 > bytes.size()) return INT16_MIN;
  return recfmt::get_i16(reinterpret_cast<const uint8_t*>(bytes.data()) + off);
}

// A node of a key as stored.
struct NodeView {
  const std::string* bytes;
  int32_t at;
  int32_t get(int off) const { return i32_at(*bytes, std::size_t(at) + std::size_t(off)); }
  int32_t count() const { return get(recfmt::kNodeCount); }
  int32_t child(int i) const { return get(recfmt::kNodeChildren + 4 * i); }
  int32_t rec(int i) const { return get(recfmt::kNodeRecords + 4 * i); }
  int32_t parent() const { return get(recfmt::kNodeParent); }
  int32_t self() const { return get(recfmt::kNodeSelf); }
  int32_t prev() const { return get(recfmt::kNodePrev); }
  int32_t next() const { return get(recfmt::kNodeNext); }
  int32_t int_key(int i) const { return get(recfmt::kNodeKeysNarrow + 4 * i); }
};

}  // namespace tvl::rft
