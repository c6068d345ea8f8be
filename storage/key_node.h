// KeyIndex::NodeRef: access to one key-index node (layout in
// record_format.h) for the key index's sources. The node is reached through
// a pointer into the page cache when it lies inside one page, else through a
// private copy that commit() (and the destructor) writes back. A NodeRef
// lives within one index operation; it never outlives a trim of the cache.
#pragma once
#include <algorithm>
#include <cstdint>
#include <vector>

#include "storage/key_index.h"
#include "storage/paged_file.h"
#include "storage/record_format.h"

namespace tvl {

class KeyIndex::NodeRef {
 public:
  explicit NodeRef(PagedFile& f) : f_(f) {}
  ~NodeRef() { commit(); }
  NodeRef(const NodeRef&) = delete;
  NodeRef& operator=(const NodeRef&) = delete;

  // Loads and checks the node at pos: inside the records area and the file,
  // count 1..200, own-position field equal to pos.
  bool load(int32_t pos, int size) {
    commit();
    p = nullptr;
    if (pos < recfmt::kHeaderSize || int64_t(pos) + size > f_.size()) return false;
    pos_ = pos;
    size_ = size;
    lo_ = hi_ = -1;
    p = f_.span(pos, size, false);
    copied_ = p == nullptr;
    if (copied_) {
      copy_.resize(std::size_t(size));
      if (!f_.read(pos, copy_.data(), size)) return false;
      p = copy_.data();
    }
    int32_t n = count();
    if (n < 1 || n > recfmt::kMaxNodeEntries || get(recfmt::kNodeSelf) != pos) {
      p = nullptr;
      return false;
    }
    return true;
  }
  void changed(int off, int len) {
    if (!copied_) {
      f_.span(pos_ + off, len, true);  // marks the range; same page
      return;
    }
    lo_ = lo_ < 0 ? off : std::min(lo_, off);
    hi_ = std::max(hi_, off + len);
  }
  bool commit() {
    if (!copied_ || lo_ < 0 || !p) return true;
    bool ok = f_.write(pos_ + lo_, p + lo_, hi_ - lo_);
    lo_ = hi_ = -1;
    return ok;
  }
  int32_t get(int off) const { return recfmt::get_i32(p + off); }
  void set(int off, int32_t v) {
    recfmt::put_i32(p + off, v);
    changed(off, 4);
  }
  int32_t count() const { return get(recfmt::kNodeCount); }
  int32_t child(int i) const { return get(recfmt::kNodeChildren + 4 * i); }
  int32_t rec(int i) const { return get(recfmt::kNodeRecords + 4 * i); }
  int32_t pos() const { return pos_; }

  uint8_t* p = nullptr;

 private:
  PagedFile& f_;
  int32_t pos_ = -1;
  int size_ = 0;
  bool copied_ = false;
  int lo_ = -1, hi_ = -1;
  std::vector<uint8_t> copy_;
};

}  // namespace tvl
