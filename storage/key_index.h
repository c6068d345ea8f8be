// KeyIndex: the key trees of one open record file (node layout and the
// duplicate entry in record_format.h). It forms key values from records,
// compares them, searches, adds and removes entries, and walks a key in
// order. RecordFile owns one and calls it for every key operation.
//
// Contracts:
//  - The index works on the handle's PagedFile and header image; it changes
//    the header's roots, leaves and free duplicate-entry list in place and
//    sets the header-changed flag it was given.
//  - Every walk over nodes, leaves and duplicate chains is bounded by what
//    the file's size allows (nodes of this key's size, 24-byte entries); a
//    damaged file (counts outside 1..200, positions before the records area
//    or past the end, a node whose own-position field disagrees, loops)
//    makes the operation fail; nothing is repaired.
//  - Writes go only to nodes and entries reached from this key's root or
//    from the free list, and to new space at the end of the file.
// Thread safety: none; owned by one RecordFile handle.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "storage/paged_file.h"

namespace tvl {

enum class KeyKind { Invalid, Byte, Short, Int, Float, Double, String, Composite };

struct KeySegment {
  int field = 0;
  int type = 0;           // field type code
  int record_offset = 0;  // field's offset in the in-memory record
  int field_size = 0;
  int mode = 0;    // string comparison mode
  int start = 0;   // start inside a string field
  int length = 0;  // bytes taken (numeric: the type width)
};

struct KeyDef {
  KeyKind kind = KeyKind::Invalid;
  int dup_mode = 0;
  bool unique() const { return dup_mode == 2; }
  std::vector<KeySegment> segments;  // one for a single-field key
  int value_size = 0;  // bytes of a key value (strings: length + 1, zero-ended)
  int keys_at = 0;     // offset of key[0] in a node
  int node_size = 0;
};

struct DupEntry {
  int32_t pos = -1;  // where this entry lies; -1 when the target is a record
  int32_t record = -1, next = -1, prev = -1, last = -1;
};

// The handle's position in one key.
struct KeyPosition {
  int32_t leaf = -1;
  int slot = -1;
  int32_t record = -1;
  DupEntry dup;
  int64_t leaf_steps = 0;   // leaves passed since the walk began
  int64_t chain_steps = 0;  // duplicate entries passed in the current chain
};

class KeyIndex {
 public:
  enum class Found { Yes, No, Failed };
  struct SearchResult {
    Found found = Found::Failed;
    int32_t leaf = -1;  // leaf where the value is or would go; -1 for an empty key
    int slot = 0;
    int32_t record = -1;
  };

  KeyIndex(PagedFile& file, uint8_t* header, bool& header_changed, Reason& error)
      : file_(file), hdr_(header), header_changed_(header_changed), error_(error) {}

  // Reads the key definitions from the header; field offsets, types and sizes
  // as the handle computed them. A key whose definition cannot be used gets
  // KeyKind::Invalid (operations on it fail).
  void load_definitions(int key_count, const int* field_type, const int* field_size,
                        const int* field_offset, int field_count);
  int key_count() const { return int(defs_.size()); }
  const KeyDef& def(int key) const { return defs_[std::size_t(key)]; }

  // The key value of `record` (an in-memory record image) into out
  // (def.value_size bytes). False for an invalid key.
  bool build_value(int key, const uint8_t* record, uint8_t* out) const;
  // The value a caller hands to seek_key, laid out as stored. False when the
  // value cannot exist (a text longer than the key).
  bool seek_value(int key, const void* value, uint8_t* out) const;
  int compare(int key, const uint8_t* a, const uint8_t* b) const;

  SearchResult search(int key, const uint8_t* value, bool update_max);
  bool add_entry(int key, const uint8_t* value, int32_t record);
  // Whether adding a duplicate where search() found the value can go ahead:
  // the chain's first and last entries and the free entries it would take
  // are sound. Lets an insert refuse a damaged file before writing anything.
  bool can_add(int key, const SearchResult& found);
  // Removes `record`'s entry under `value`. `current` is the handle's
  // position when `key` is the current key (its duplicate entry is then
  // freed), else nullptr.
  bool remove_entry(int key, const uint8_t* value, int32_t record, const KeyPosition* current);

  bool walk_first(int key, KeyPosition& pos);
  bool walk_last(int key, KeyPosition& pos);
  bool walk_next(int key, KeyPosition& pos);
  bool seek(int key, const uint8_t* value, KeyPosition& pos);

  // True when the bytes at pos are a duplicate entry of this format.
  bool is_chain(int32_t pos);

 private:
  class NodeRef;
  bool valid_pos(int64_t pos, int64_t len) const;
  int64_t node_limit(int key) const;
  int64_t entry_limit() const;
  bool read_entry(int32_t pos, DupEntry& e);
  bool write_entry(const DupEntry& e);
  bool write_i32(int64_t pos, int32_t v);
  int32_t alloc_entry();
  bool chain_target(int key, int32_t target, bool* is_chain);
  bool position_on(int key, KeyPosition& pos, int32_t leaf, int slot, int32_t target, bool last);
  bool scan_forward(int key, KeyPosition& pos, int32_t leaf, int slot);
  bool add_duplicate(int key, const SearchResult& r, int32_t record);
  bool unlink_entry(int key, const SearchResult& r, int32_t entry, bool free_it);
  // What splitting a node needs of the old node once its upper half moved.
  struct NodeCut {
    std::vector<uint8_t> old_max;  // the old node's last value after the cut
    int32_t old_max_rec = -1, parent = -1, old_next = -1;
    bool leaf_level = false;
  };
  bool split(int key, int32_t node_pos);
  bool cut_node(int key, int32_t node_pos, std::vector<uint8_t>& fresh, NodeCut& cut);
  bool link_new_half(int key, int32_t new_pos, const uint8_t* n, const NodeCut& cut);
  bool grow_root(int key, int32_t node_pos, int32_t new_pos, const uint8_t* n, const NodeCut& cut);
  bool new_node(int key, std::vector<uint8_t>& node, int32_t* pos);

  PagedFile& file_;
  uint8_t* hdr_;
  bool& header_changed_;
  Reason& error_;
  std::vector<KeyDef> defs_;
};

}  // namespace tvl
