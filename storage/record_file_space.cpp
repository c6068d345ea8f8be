// Record images of the engine: reading, packing and unpacking records, the
// field setter, and space: the free-record list, the chained-block list.
#include <algorithm>
#include <climits>
#include <cstring>

#include "storage/record_file_impl.h"

namespace tvl {

using namespace recfmt;

int record_field_width(int type) {
  switch (type) {
    case FT_BYTE: return 1;
    case FT_SHORT: return 2;
    case FT_INT:
    case FT_FLOAT:
    case FT_AUTOINC: return 4;
    case FT_DOUBLE:
    case FT_CHAIN: return 8;
    default: return 0;
  }
}

void RecordFile::Impl::reset() {
  is_open = has_keys = header_changed = updating = false;
  record_length = field_count = 0;
  cur.clear();
  edit.clear();
  current_key = -1;
  for (auto& p : pos) p = KeyPosition{};
  std::fill(std::begin(field_set), std::end(field_set), false);
  values.clear();
}

bool RecordFile::Impl::pack(const uint8_t* rec) {
  packed.assign(2, 0);
  for (int f = 0; f < field_count; ++f) {
    const uint8_t* v = rec + offsets[f];
    if (types[f] == FT_STRING) {
      std::size_t n = strnlen(reinterpret_cast<const char*>(v), std::size_t(sizes[f]));
      uint8_t l[2];
      put_i16(l, int32_t(n));
      packed.insert(packed.end(), l, l + 2);
      packed.insert(packed.end(), v, v + n);
    } else {
      int w = record_field_width(types[f]);
      if (w == 0) return false;
      packed.insert(packed.end(), v, v + w);
    }
    if (packed.size() > 0xFFFF) return false;
  }
  put_i16(packed.data(), int32_t(packed.size()));
  return true;
}

bool RecordFile::Impl::unpack(const uint8_t* p, int len, uint8_t* rec) {
  std::memset(rec, 0, std::size_t(record_length + kRecordSlack));
  int at = 2;
  for (int f = 0; f < field_count; ++f) {
    uint8_t* v = rec + offsets[f];
    if (types[f] == FT_STRING) {
      if (at + 2 > len) return false;
      int n = get_u16(p + at);
      at += 2;
      if (at + n > len) return false;
      std::memcpy(v, p + at, std::size_t(std::min(n, sizes[f])));
      at += n;
    } else {
      int w = record_field_width(types[f]);
      if (w == 0 || at + w > len) return false;
      std::memcpy(v, p + at, std::size_t(w));
      at += w;
    }
  }
  return true;
}

bool RecordFile::Impl::read_record(int32_t at, uint8_t* out) {
  if (!packed_format()) {
    if (!in_records(at, record_length)) return false;
    std::memset(out + record_length, 0, kRecordSlack);
    return file.read(at, out, record_length);
  }
  uint8_t l[2];
  if (!in_records(at, 2) || !file.read(at, l, 2)) return false;
  int len = get_u16(l);
  if (len < 2 || !in_records(at, len)) return false;
  packed.resize(std::size_t(len));
  if (!file.read(at, packed.data(), len)) return false;
  return unpack(packed.data(), len, out);
}

bool RecordFile::Impl::load_current(int32_t at, bool into_edit) {
  scratch.resize(std::size_t(record_length + kRecordSlack));
  if (at < 0 || !read_record(at, scratch.data())) return false;
  std::memcpy(cur.data(), scratch.data(), std::size_t(record_length + kRecordSlack));
  if (into_edit && !updating)
    std::memcpy(edit.data(), scratch.data(), std::size_t(record_length + kRecordSlack));
  return true;
}

void RecordFile::Impl::copy_out(void* out, int len) const {
  if (!out) return;
  int n = (len <= 0 || len > record_length) ? record_length : len;
  std::memcpy(out, cur.data(), std::size_t(n));
}

bool RecordFile::Impl::set_raw(const void* value, int f) {
  if (!good_field(f) || !value) return false;
  int t = types[f];
  if (t == FT_CHAIN || t == FT_AUTOINC || (record_field_width(t) == 0 && t != FT_STRING)) {
    error.text = "field invalidation";
    return false;
  }
  uint8_t* v = edit.data() + offsets[f];
  if (t == FT_STRING) {
    std::size_t n = strnlen(static_cast<const char*>(value), std::size_t(sizes[f]));
    std::memcpy(v, value, n);
    std::memset(v + n, 0, std::size_t(sizes[f]) - n);
  } else {
    std::memcpy(v, value, std::size_t(record_field_width(t)));
  }
  field_set[f] = true;
  return true;
}

int32_t RecordFile::Impl::alloc_record(int len) {
  int32_t head = get_i32(hdr + kFreeRecords);
  if (head != -1) {
    if (!packed_format()) {
      uint8_t link[4];
      if (record_length < 4 || !in_records(head, record_length) || !file.read(head, link, 4))
        return -1;
      put_i32(hdr + kFreeRecords, get_i32(link));
      header_changed = true;
      return head;
    }
    // Packed: the first block, else the first of the next two that fits.
    int32_t prev = -1, at = head;
    for (int i = 0; i < 3 && at != -1; ++i) {
      uint8_t b[6];
      if (!in_records(at, 6) || !file.read(at, b, 6)) return -1;
      int32_t next = get_i32(b + 2);
      if (get_u16(b) >= len) {
        if (prev == -1) {
          put_i32(hdr + kFreeRecords, next);
          header_changed = true;
        } else {
          uint8_t l[4];
          put_i32(l, next);
          if (!file.write(int64_t(prev) + 2, l, 4)) return -1;
        }
        return at;
      }
      prev = at;
      at = next;
    }
  }
  int64_t end = file.size();
  if (end < kHeaderSize || end > INT32_MAX - int64_t(len)) return -1;
  return int32_t(end);
}

bool RecordFile::Impl::free_record(int32_t at) {
  uint8_t link[4];
  put_i32(link, get_i32(hdr + kFreeRecords));
  int64_t link_at = at;
  if (packed_format()) {
    uint8_t l[2];
    if (!in_records(at, 2) || !file.read(at, l, 2)) return false;
    if (get_u16(l) < 6) return true;
    link_at += 2;
  } else if (record_length < 4) {
    return true;
  }
  if (!in_records(link_at, 4) || !file.write(link_at, link, 4)) return false;
  put_i32(hdr + kFreeRecords, at);
  header_changed = true;
  return true;
}

bool RecordFile::Impl::free_chain(int32_t first) {
  if (first <= 0) return true;
  int32_t at = first;
  for (int steps = 0;; ++steps) {
    if (steps >= kMaxChainSteps || !in_records(at, kChainBlockHeader)) return false;
    uint8_t link[4];
    if (!file.read(at, link, 4)) return false;
    int32_t next = get_i32(link);
    if (next <= 0) break;
    at = next;
  }
  uint8_t head[4];
  put_i32(head, get_i32(hdr + kFreeChains));
  if (!file.write(at, head, 4)) return false;
  put_i32(hdr + kFreeChains, first);
  header_changed = true;
  return true;
}

}  // namespace tvl
