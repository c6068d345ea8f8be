#include "storage/record_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "storage/key_index.h"
#include "storage/paged_file.h"
#include "storage/record_format.h"

namespace tvl {

using namespace recfmt;

namespace {
// Record buffers carry a few spare bytes so that a numeric field declared
// narrower than its type can be read and written at its type's width.
constexpr int kSlack = 16;
constexpr uint32_t kMaxRecordLength = 1u << 24;

bool equal_ci(std::string_view a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

int type_width(int type) {
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
}  // namespace

struct RecordFile::Impl {
  PagedFile file;
  uint8_t hdr[kHeaderSize] = {};
  bool is_open = false, has_keys = false, header_changed = false;
  int record_length = 0;
  int field_count = 0;
  int types[kMaxFields] = {}, sizes[kMaxFields] = {}, offsets[kMaxFields] = {};
  std::vector<uint8_t> cur, edit, scratch, packed, incoming;
  int current_key = -1;
  KeyPosition pos[kMaxKeys];
  bool field_set[kMaxFields] = {};
  bool updating = false;
  std::string error, text;
  KeyIndex index{file, hdr, header_changed, error};
  std::vector<std::vector<uint8_t>> values;  // one key-value buffer per key

  bool packed_format() const { return get_i16(hdr + kRecordFormat) != kFixedFormat; }
  int32_t count() const { return get_i32(hdr + kRecordCount); }
  bool in_records(int64_t pos, int64_t len) const {
    return pos >= kHeaderSize && pos <= INT32_MAX && pos + len <= file.size();
  }

  void reset() {
    is_open = has_keys = header_changed = updating = false;
    record_length = field_count = 0;
    cur.clear();
    edit.clear();
    current_key = -1;
    for (auto& p : pos) p = KeyPosition{};
    std::fill(std::begin(field_set), std::end(field_set), false);
    values.clear();
  }

  // Packed image of an in-memory record into `packed`. False when a field's
  // type has no packed form or the image would not fit its 16-bit length.
  bool pack(const uint8_t* rec) {
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
        int w = type_width(types[f]);
        if (w == 0) return false;
        packed.insert(packed.end(), v, v + w);
      }
      if (packed.size() > 0xFFFF) return false;
    }
    put_i16(packed.data(), int32_t(packed.size()));
    return true;
  }

  bool unpack(const uint8_t* p, int len, uint8_t* rec) {
    std::memset(rec, 0, std::size_t(record_length + kSlack));
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
        int w = type_width(types[f]);
        if (w == 0 || at + w > len) return false;
        std::memcpy(v, p + at, std::size_t(w));
        at += w;
      }
    }
    return true;
  }

  // Reads the record at pos into out (record length + slack bytes).
  bool read_record(int32_t at, uint8_t* out) {
    if (!packed_format()) {
      if (!in_records(at, record_length)) return false;
      std::memset(out + record_length, 0, kSlack);
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

  // Makes the record at `at` current (and the edit record, outside update).
  bool load_current(int32_t at) {
    scratch.resize(std::size_t(record_length + kSlack));
    if (at < 0 || !read_record(at, scratch.data())) return false;
    std::memcpy(cur.data(), scratch.data(), std::size_t(record_length + kSlack));
    if (!updating) std::memcpy(edit.data(), scratch.data(), std::size_t(record_length + kSlack));
    return true;
  }

  void copy_out(void* out, int len) const {
    if (!out) return;
    int n = (len <= 0 || len > record_length) ? record_length : len;
    std::memcpy(out, cur.data(), std::size_t(n));
  }

  bool good_field(int f) const { return is_open && f >= 0 && f < field_count; }

  bool set_raw(const void* value, int f) {
    if (!good_field(f) || !value) return false;
    int t = types[f];
    if (t == FT_CHAIN || t == FT_AUTOINC || (type_width(t) == 0 && t != FT_STRING)) {
      error = "field invalidation";
      return false;
    }
    uint8_t* v = edit.data() + offsets[f];
    if (t == FT_STRING) {
      std::size_t n = strnlen(static_cast<const char*>(value), std::size_t(sizes[f]));
      std::memcpy(v, value, n);
      std::memset(v + n, 0, std::size_t(sizes[f]) - n);
    } else {
      std::memcpy(v, value, std::size_t(type_width(t)));
    }
    field_set[f] = true;
    return true;
  }

  // Space for a new record image of len bytes (fixed: record length; packed:
  // the packed length). -1 when a free list is damaged or the file is full.
  int32_t alloc_record(int len) {
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

  // Puts a deleted record's space on the free-record list.
  bool free_record(int32_t at) {
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

  // Appends the chain of blocks beginning at first to the chained-block free
  // list. A chain of more than 1000 blocks or one that leaves the file is
  // left alone and reported as a failure.
  bool free_chain(int32_t first) {
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

  bool autoinc_value(int f, int32_t* value);
  bool insert(const void* data, int len);
  bool remove(std::vector<int32_t>* kept_chains);
};

// ---------------------------------------------------------------------------

RecordFile::RecordFile() : impl_(new Impl) {}
RecordFile::~RecordFile() {
  close();
  delete impl_;
}

bool RecordFile::open(const std::string& path) {
  close();
  Impl& m = *impl_;
  if (!m.file.open(path)) {
    m.error = "file can't be  opened!";
    return false;
  }
  bool ok = m.file.read_direct(0, m.hdr, kHeaderSize);
  int fields = get_i16(m.hdr + kFieldCount);
  uint32_t reclen = uint32_t(get_i32(m.hdr + kRecordLength));
  int keys = get_i16(m.hdr + kKeyCount);
  ok = ok && fields >= 0 && fields <= kMaxFields && reclen <= kMaxRecordLength && keys >= 0 &&
       keys <= kMaxKeys;
  int64_t sum = 0;
  for (int f = 0; ok && f < fields; ++f) {
    m.types[f] = get_i16(m.hdr + kFieldTypes + 2 * f);
    m.sizes[f] = get_i16(m.hdr + kFieldSizes + 2 * f);
    m.offsets[f] = int(sum);
    if (m.sizes[f] < 0) ok = false;
    sum += m.sizes[f];
  }
  if (!ok || sum > int64_t(reclen)) {
    // A header that is short or describes no usable record.
    m.file.close();
    m.error = "file can't be  opened!";
    return false;
  }
  m.is_open = true;
  m.field_count = fields;
  m.record_length = int(reclen);
  m.cur.assign(reclen + kSlack, 0);
  m.edit.assign(reclen + kSlack, 0);
  m.index.load_definitions(keys, m.types, m.sizes, m.offsets, fields);
  m.values.resize(std::size_t(keys));
  for (int k = 0; k < keys; ++k) m.values[std::size_t(k)].resize(std::size_t(std::max(m.index.def(k).value_size, 1)));
  if (keys == 0) {
    m.error = "key not found";  // the file stays open until close()
    return false;
  }
  m.has_keys = true;
  return true;
}

void RecordFile::close() {
  Impl& m = *impl_;
  if (m.file.is_open()) {
    m.file.flush();
    if (m.header_changed) m.file.write_direct(0, m.hdr, kHeaderSize);
    m.file.close();
  }
  m.reset();
}

int RecordFile::record_count() const { return impl_->is_open ? impl_->count() : -1; }

bool RecordFile::move_first(int key, void* out, int len) {
  Impl& m = *impl_;
  if (!m.is_open || m.count() <= 0 || key < 0 || key >= m.index.key_count()) return false;
  m.file.trim();
  KeyPosition p;
  if (!m.index.walk_first(key, p) || !m.load_current(p.record)) return false;
  m.pos[key] = p;
  m.current_key = key;
  m.copy_out(out, len);
  return true;
}

bool RecordFile::move_last(int key, void* out, int len) {
  Impl& m = *impl_;
  if (!m.is_open || m.count() <= 0 || key < 0 || key >= m.index.key_count()) return false;
  m.file.trim();
  KeyPosition p;
  if (!m.index.walk_last(key, p) || !m.load_current(p.record)) return false;
  m.pos[key] = p;
  m.current_key = key;
  m.copy_out(out, len);
  return true;
}

bool RecordFile::move_next(int key, void* out, int len) {
  Impl& m = *impl_;
  if (!m.is_open || m.count() <= 0 || key < 0 || key >= m.index.key_count()) return false;
  if (m.pos[key].leaf == -1) return false;
  m.file.trim();
  KeyPosition p = m.pos[key];
  if (!m.index.walk_next(key, p) || !m.load_current(p.record)) return false;
  m.pos[key] = p;
  m.current_key = key;
  m.copy_out(out, len);
  return true;
}

bool RecordFile::seek_key(int key, const void* value, void* out, int len) {
  Impl& m = *impl_;
  if (!m.is_open || m.count() <= 0 || key < 0 || key >= m.index.key_count()) return false;
  m.file.trim();
  uint8_t* v = m.values[std::size_t(key)].data();
  KeyPosition p;
  if (!m.index.seek_value(key, value, v) || !m.index.seek(key, v, p) || !m.load_current(p.record))
    return false;
  m.pos[key] = p;
  m.current_key = key;
  m.copy_out(out, len);
  return true;
}

bool RecordFile::read_current(void* out, int len) {
  Impl& m = *impl_;
  if (!m.is_open || m.current_key < 0) return false;
  if (!m.load_current(m.pos[m.current_key].record)) return false;
  m.copy_out(out, len);
  return true;
}

int RecordFile::field_index(const std::string& name) const {
  const Impl& m = *impl_;
  if (!m.is_open) return -1;
  for (int f = 0; f < m.field_count; ++f) {
    const char* slot = reinterpret_cast<const char*>(m.hdr + kFieldNames + kFieldNameSize * f);
    std::size_t b = 0, e = strnlen(slot, kFieldNameSize);
    while (b < e && std::isspace(static_cast<unsigned char>(slot[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(slot[e - 1]))) --e;
    if (equal_ci(std::string_view(slot + b, e - b), name)) return f;
  }
  return -1;
}

bool RecordFile::get_field(void* out, int field) {
  Impl& m = *impl_;
  if (!m.good_field(field) || !out) return false;
  int t = m.types[field];
  int n = t == FT_STRING ? m.sizes[field] : type_width(t);
  if (t == FT_CHAIN || n == 0) {
    m.error = "field invalidation";
    return false;
  }
  std::memcpy(out, m.cur.data() + m.offsets[field], std::size_t(n));
  return true;
}

bool RecordFile::get_field(void* out, const std::string& name) {
  return get_field(out, field_index(name));
}

std::string RecordFile::get_field_text(int field) {
  Impl& m = *impl_;
  m.text.clear();
  if (!m.good_field(field)) return m.text;
  const uint8_t* v = m.cur.data() + m.offsets[field];
  char buf[512];
  buf[0] = 0;
  switch (m.types[field]) {
    case FT_SHORT: {
      int16_t x;
      std::memcpy(&x, v, 2);
      std::snprintf(buf, sizeof buf, "%d", x);
      break;
    }
    case FT_INT:
    case FT_AUTOINC: {
      int32_t x;
      std::memcpy(&x, v, 4);
      std::snprintf(buf, sizeof buf, "%d", x);
      break;
    }
    case FT_FLOAT: {
      float x;
      std::memcpy(&x, v, 4);
      std::snprintf(buf, sizeof buf, "%.6f", double(x));
      break;
    }
    case FT_DOUBLE: {
      double x;
      std::memcpy(&x, v, 8);
      std::snprintf(buf, sizeof buf, "%.14f", x);
      break;
    }
    case FT_BYTE: std::snprintf(buf, sizeof buf, "%d", int(*v)); break;
    case FT_STRING:
      m.text.assign(reinterpret_cast<const char*>(v),
                    strnlen(reinterpret_cast<const char*>(v), std::size_t(m.sizes[field])));
      return m.text;
    default: break;  // FT_CHAIN and unknown types: ""
  }
  m.text = buf;
  return m.text;
}

std::string RecordFile::get_field_text(const std::string& name) {
  return get_field_text(field_index(name));
}

bool RecordFile::set_field(const void* value, int field) { return impl_->set_raw(value, field); }

bool RecordFile::set_field(const void* value, const std::string& name) {
  return impl_->set_raw(value, field_index(name));
}

bool RecordFile::set_field_text(const std::string& text, const std::string& name) {
  Impl& m = *impl_;
  int f = field_index(name);
  if (f < 0) return false;
  const char* s = text.c_str();
  switch (m.types[f]) {
    case FT_SHORT: {
      int16_t v = int16_t(std::atoi(s));
      return m.set_raw(&v, f);
    }
    case FT_INT: {
      int32_t v = std::atoi(s);
      return m.set_raw(&v, f);
    }
    case FT_FLOAT: {
      float v = float(std::atof(s));
      return m.set_raw(&v, f);
    }
    case FT_DOUBLE: {
      double v = std::atof(s);
      return m.set_raw(&v, f);
    }
    case FT_BYTE: {
      uint8_t v = std::atoi(s) != 0 ? 1 : 0;
      return m.set_raw(&v, f);
    }
    case FT_STRING: return m.set_raw(s, f);
    default: return false;  // FT_CHAIN, FT_AUTOINC and unknown types
  }
}

// The next value of an FT_AUTOINC field: its value in the last record of
// key 0 plus one, 1 for an empty table. The handle's position is kept.
bool RecordFile::Impl::autoinc_value(int f, int32_t* value) {
  *value = 1;
  if (count() <= 0) return true;
  std::vector<uint8_t> saved_cur = cur, saved_edit = edit;
  int saved_key = current_key;
  KeyPosition saved_pos = pos[0];
  KeyPosition p;
  bool ok = index.walk_last(0, p) && load_current(p.record);
  int32_t last = 0;
  if (ok) std::memcpy(&last, cur.data() + offsets[f], 4);
  // Copied back in place: callers hold pointers into the edit record.
  std::memcpy(cur.data(), saved_cur.data(), cur.size());
  std::memcpy(edit.data(), saved_edit.data(), edit.size());
  current_key = saved_key;
  pos[0] = saved_pos;
  *value = last + 1;
  return ok;
}

bool RecordFile::Impl::insert(const void* data, int len) {
  if (!is_open) return false;
  file.trim();
  uint8_t* rec = edit.data();
  if (data) {
    incoming.assign(std::size_t(record_length + kSlack), 0);
    int n = (len <= 0 || len > record_length) ? record_length : len;
    std::memcpy(incoming.data(), data, std::size_t(n));
    rec = incoming.data();
  }
  for (int f = 0; f < field_count && has_keys && !updating; ++f) {
    if (types[f] != FT_AUTOINC) continue;
    int32_t v;
    if (!autoinc_value(f, &v)) return false;  // the table's last record cannot be read
    std::memcpy(rec + offsets[f], &v, 4);
  }
  // Chain references not set since the last insert are cleared in the edit
  // record (a caller's image is taken as it is).
  for (int f = 0; f < field_count; ++f)
    if (types[f] == FT_CHAIN && !field_set[f]) std::memset(edit.data() + offsets[f], 0, 8);
  std::fill(std::begin(field_set), std::end(field_set), false);
  if (!has_keys) {
    error = "key not found";
    return false;
  }
  int keys = index.key_count();
  for (int k = 0; k < keys; ++k) {
    uint8_t* v = values[std::size_t(k)].data();
    if (!index.build_value(k, rec, v)) return false;
    KeyIndex::SearchResult r = index.search(k, v, false);
    if (r.found == KeyIndex::Found::Failed) return false;
    if (r.found == KeyIndex::Found::Yes && r.record != -1 && index.def(k).unique()) {
      error = "the key is unduplicated";
      return false;
    }
    if (!index.can_add(k, r)) return false;  // a damaged chain: refuse before writing
  }
  const uint8_t* image = rec;
  int image_len = record_length;
  if (packed_format()) {
    if (!pack(rec)) return false;
    image = packed.data();
    image_len = int(packed.size());
  }
  int32_t at = alloc_record(image_len);
  if (at < 0 || !file.write(at, image, image_len)) return false;
  for (int k = 0; k < keys; ++k)
    if (!index.add_entry(k, values[std::size_t(k)].data(), at)) return false;
  put_i32(hdr + kRecordCount, count() + 1);
  header_changed = true;
  std::fill(edit.begin(), edit.end(), 0);
  return true;
}

bool RecordFile::insert_record(const void* data, int len) { return impl_->insert(data, len); }

// Deletes the current record. With kept_chains the record's FT_CHAIN
// references are handed back instead of freed (an update frees them only
// once the new record is in).
bool RecordFile::Impl::remove(std::vector<int32_t>* kept_chains) {
  if (!is_open) return false;
  if (current_key < 0) {
    error = "Can't locate a record  ";
    return false;
  }
  if (!has_keys) {
    error = "key not found";
    return false;
  }
  KeyPosition& cp = pos[current_key];
  int32_t at = cp.record;
  if (at < 0 || count() <= 0) return false;
  file.trim();
  // The key values come from the record as stored at the position.
  if (!load_current(at)) return false;
  for (int k = 0; k < index.key_count(); ++k) {
    uint8_t* v = values[std::size_t(k)].data();
    if (!index.build_value(k, cur.data(), v) ||
        !index.remove_entry(k, v, at, k == current_key ? &cp : nullptr))
      return false;
  }
  put_i32(hdr + kRecordCount, count() - 1);
  header_changed = true;
  bool ok = true;
  for (int f = 0; f < field_count; ++f) {
    if (types[f] != FT_CHAIN) continue;
    int32_t first;
    std::memcpy(&first, cur.data() + offsets[f], 4);
    if (kept_chains)
      kept_chains->push_back(first);
    else if (!free_chain(first))
      ok = false;
  }
  if (!free_record(at)) ok = false;
  cp.record = -1;
  return ok;
}

bool RecordFile::delete_record() { return impl_->remove(nullptr); }

bool RecordFile::update_record(const void* data, int len) {
  Impl& m = *impl_;
  if (!m.is_open || m.count() <= 0) return false;
  if (!m.has_keys) {
    m.error = "key not found";
    return false;
  }
  if (m.current_key < 0) {
    m.error = "current key invalid";
    return false;
  }
  if (m.pos[m.current_key].record < 0) return false;
  std::fill(std::begin(m.field_set), std::end(m.field_set), true);
  m.updating = true;
  std::vector<int32_t> old_chains;
  if (!m.remove(&old_chains)) {
    m.updating = false;
    return false;
  }
  // The new image, to tell which chains it no longer references.
  std::vector<uint8_t> fresh(std::size_t(m.record_length + kSlack), 0);
  if (data) {
    int n = (len <= 0 || len > m.record_length) ? m.record_length : len;
    std::memcpy(fresh.data(), data, std::size_t(n));
  } else {
    fresh = m.edit;
  }
  if (!m.insert(data, len)) {
    // Put the old record back as it was, identifiers and chains included:
    // the restoring insert runs in update mode with every field marked set.
    std::memcpy(m.edit.data(), m.cur.data(), m.edit.size());
    std::fill(std::begin(m.field_set), std::end(m.field_set), true);
    m.insert(nullptr, 0);
    m.updating = false;
    m.error = "the key is unduplicated";
    return false;
  }
  m.updating = false;
  bool ok = true;
  std::size_t i = 0;
  for (int f = 0; f < m.field_count; ++f) {
    if (m.types[f] != FT_CHAIN) continue;
    int32_t now;
    std::memcpy(&now, fresh.data() + m.offsets[f], 4);
    if (old_chains[i] != now && !m.free_chain(old_chains[i])) ok = false;
    ++i;
  }
  return ok;
}

int RecordFile::last_id() {
  Impl& m = *impl_;
  if (!move_last(0) || m.field_count == 0) return 0;
  int32_t v = 0;
  int w = std::min(4, m.types[0] == FT_STRING ? m.sizes[0] : type_width(m.types[0]));
  std::memcpy(&v, m.cur.data(), std::size_t(std::max(w, 0)));
  return v;
}

const std::string& RecordFile::last_error() const { return impl_->error; }

int RecordFile::field_count() const { return impl_->is_open ? impl_->field_count : 0; }

int RecordFile::field_type(int field) const {
  return impl_->good_field(field) ? impl_->types[field] : 0;
}

int RecordFile::field_size(int field) const {
  return impl_->good_field(field) ? impl_->sizes[field] : 0;
}

}  // namespace tvl
