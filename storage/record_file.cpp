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
#include "storage/record_file_impl.h"
#include "storage/record_format.h"

namespace tvl {

using namespace recfmt;

namespace {
constexpr uint32_t kMaxRecordLength = 1u << 24;

bool equal_ci(std::string_view a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}
}  // namespace

// ---------------------------------------------------------------------------

RecordFile::RecordFile() : impl_(new Impl) {}
RecordFile::~RecordFile() {
  (void)close();  // nothing to report to
  delete impl_;
}

bool RecordFile::open(const std::string& path) {
  (void)close();  // a handle opened again: the earlier file is closed as it can be
  Impl& m = *impl_;
  m.open_status = m.file.open(path, m.error);
  if (m.open_status != LockedOpen::Opened) {
    m.error.text = "file can't be  opened!";
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
    // open_status stays Opened: the file is there and readable, but it is
    // no record file (empty, cut short, overwritten): damage, not a lack of
    // permission.
    m.file.close();
    m.error.text = "file can't be  opened!";
    return false;
  }
  m.is_open = true;
  m.field_count = fields;
  m.record_length = int(reclen);
  m.cur.assign(reclen + kRecordSlack, 0);
  m.edit.assign(reclen + kRecordSlack, 0);
  m.index.load_definitions(keys, m.types, m.sizes, m.offsets, fields);
  m.values.resize(std::size_t(keys));
  for (int k = 0; k < keys; ++k) m.values[std::size_t(k)].resize(std::size_t(std::max(m.index.def(k).value_size, 1)));
  if (keys == 0) {
    m.error.text = "key not found";  // the file stays open until close()
    return false;
  }
  m.has_keys = true;
  return true;
}

bool RecordFile::close() {
  Impl& m = *impl_;
  bool ok = true;
  if (m.file.is_open()) {
    // The header goes through the cache with the rest, so that the file is
    // replaced by one whole new state (PagedFile::commit).
    if (m.header_changed && !m.file.write(0, m.hdr, kHeaderSize)) ok = false;
    if (ok && !m.file.commit(m.error)) ok = false;
    m.file.close();
  }
  m.reset();
  return ok;
}

void RecordFile::abandon() {
  impl_->file.close();
  impl_->reset();
}

LockedOpen RecordFile::open_status() const { return impl_->open_status; }

int RecordFile::record_count() const { return impl_->is_open ? impl_->count() : -1; }

bool RecordFile::Impl::move_to_end(int key, void* out, int len, bool last) {
  Impl& m = *this;
  if (!m.is_open || m.count() <= 0 || key < 0 || key >= m.index.key_count()) return false;
  m.file.trim();
  KeyPosition p;
  const bool found = last ? m.index.walk_last(key, p) : m.index.walk_first(key, p);
  if (!found || !m.load_current(p.record)) return false;
  m.pos[key] = p;
  m.current_key = key;
  m.copy_out(out, len);
  return true;
}

bool RecordFile::move_first(int key, void* out, int len) { return impl_->move_to_end(key, out, len, false); }

bool RecordFile::move_last(int key, void* out, int len) { return impl_->move_to_end(key, out, len, true); }

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
  int n = t == FT_STRING ? m.sizes[field] : record_field_width(t);
  if (t == FT_CHAIN || n == 0) {
    m.error.text = "field invalidation";
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
    incoming.assign(std::size_t(record_length + kRecordSlack), 0);
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
    error.text = "key not found";
    return false;
  }
  int keys = index.key_count();
  for (int k = 0; k < keys; ++k) {
    uint8_t* v = values[std::size_t(k)].data();
    if (!index.build_value(k, rec, v)) return false;
    KeyIndex::SearchResult r = index.search(k, v, false);
    if (r.found == KeyIndex::Found::Failed) return false;
    if (r.found == KeyIndex::Found::Yes && r.record != -1 && index.def(k).unique()) {
      error.text = "the key is unduplicated";
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
    error.text = "Can't locate a record  ";
    return false;
  }
  if (!has_keys) {
    error.text = "key not found";
    return false;
  }
  KeyPosition& cp = pos[current_key];
  int32_t at = cp.record;
  if (at < 0 || count() <= 0) return false;
  file.trim();
  // The key values come from the record as stored at the position; the
  // edit record keeps what the caller prepared.
  if (!load_current(at, false)) return false;
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
    m.error.text = "key not found";
    return false;
  }
  if (m.current_key < 0) {
    m.error.text = "current key invalid";
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
  std::vector<uint8_t> fresh(std::size_t(m.record_length + kRecordSlack), 0);
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
    const bool restored = m.insert(nullptr, 0);
    m.updating = false;
    // A restore that failed too has lost the record: say so rather than
    // blame the key.
    m.error.text = restored ? "the key is unduplicated" : "the record could not be put back";
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
  int w = std::min(4, m.types[0] == FT_STRING ? m.sizes[0] : record_field_width(m.types[0]));
  std::memcpy(&v, m.cur.data(), std::size_t(std::max(w, 0)));
  return v;
}

const std::string& RecordFile::last_error() const { return impl_->error.text; }

int RecordFile::field_count() const { return impl_->is_open ? impl_->field_count : 0; }

int RecordFile::field_type(int field) const {
  return impl_->good_field(field) ? impl_->types[field] : 0;
}

int RecordFile::field_size(int field) const {
  return impl_->good_field(field) ? impl_->sizes[field] : 0;
}

}  // namespace tvl
