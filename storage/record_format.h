// On-disk layout of record files (rooms.sdb and files of the same format).
// All integers are little-endian; positions are signed 32-bit byte offsets
// from the start of the file, -1 meaning none. Everything a writer of this
// format relies on is listed here; the code that reads and writes these
// bytes (record_file*.cpp, key_index*.cpp) uses only these names.
//
// File header: 15472 bytes at offset 0, read whole at open, written back
// whole at close when changed.
//
// | Offset | Size              | Content                                             |
// |--------|-------------------|-----------------------------------------------------|
// | 0      | 32                | not interpreted; preserved                          |
// | 32     | u32               | record length (sum of all field sizes)              |
// | 36     | i32               | number of live records                              |
// | 40     | 128 x 32          | field names, zero-padded (at most 31 characters)    |
// | 4136   | 128 x i16         | field type codes (FT_SHORT .. FT_AUTOINC)           |
// | 4392   | 128 x i16         | field sizes in bytes                                |
// | 4648   | i16               | number of fields (at most 128)                      |
// | 4650   | 320               | not interpreted; preserved                          |
// | 4970   | 10 x i16          | per key: duplicate mode (1 allowed, 2 unique)       |
// | 4990   | 10 x 128 x i16    | per key, per segment: field number                  |
// | 7550   | 10 x 128 x i16    | per key, per segment: string comparison mode        |
// |        |                   |   (1 case-sensitive, 2 case-insensitive)            |
// | 10110  | 10 x 128 x i16    | per key, per segment: start offset in a string      |
// | 12670  | 10 x 128 x i16    | per key, per segment: length in bytes               |
// | 15230  | 10 x i16          | per key: segment count, -1 for a single-field key   |
// | 15250  | i16               | number of keys (at most 10)                         |
// | 15252  | 10 x i32          | per key: root node position                         |
// | 15292  | 10 x i32          | per key: first leaf position                        |
// | 15332  | 10 x i32          | per key: last leaf position                         |
// | 15372  | i32               | head of the free-record list                        |
// | 15376  | i32               | head of the free duplicate-entry list               |
// | 15380  | i16               | record format: -1 fixed, anything else packed       |
// | 15382  | 70                | text area; not interpreted; preserved               |
// | 15452  | i32               | head of the free list of chained blocks             |
// | 15456  | 16                | not interpreted; preserved                          |
//
// Records.
//  - Fixed format: the in-memory record image, record-length bytes; a field's
//    offset is the sum of the sizes of the fields before it (no padding).
//  - Packed format: u16 total length (counting itself), then the fields in
//    order: FT_SHORT 2 bytes; FT_INT, FT_FLOAT, FT_AUTOINC 4; FT_DOUBLE,
//    FT_CHAIN 8; FT_BYTE 1; FT_STRING u16 length + that many bytes (the
//    length of the zero-terminated text, at most the field size).
//
// Free lists (heads in the header, -1 = empty; nothing is marked in place):
//  - freed fixed record:  bytes 0..3 hold the previous head (records shorter
//    than 4 bytes are not listed);
//  - freed packed record: keeps its u16 length, bytes 2..5 hold the previous
//    head (records shorter than 6 bytes are not listed);
//  - freed duplicate entry: bytes 0..3 hold the previous head;
//  - chained blocks (FT_CHAIN data): every block begins with an 8-byte header
//    whose bytes 0..3 are the next block (0 or negative ends the chain); a
//    freed chain's last block links to the previous head.
//
// Key-index node (one per position; size depends on the key kind):
//
// | Offset | Size       | Content                                               |
// |--------|------------|-------------------------------------------------------|
// | 0      | i32        | entry count n (1..200 on disk)                        |
// | 4      | 201 x i32  | child positions; -1 in a leaf                         |
// | 808    | 201 x i32  | record positions (leaf; -1 = entry removed) or        |
// |        |            | carried record positions (inner node)                 |
// | 1612   | i32        | parent node, -1 for the root                          |
// | 1616   | i32        | this node's own position                              |
// | 1620   | i32        | previous node on the same level, -1 if none           |
// | 1624   | i32        | next node on the same level, -1 if none               |
// | 1628   | ...        | 201 key slots (see below)                             |
//
// | Key kind                        | Slot        | Keys at | Node size            |
// |---------------------------------|-------------|---------|----------------------|
// | FT_BYTE                         | 1           | 1628    | 1832                 |
// | FT_SHORT                        | 2           | 1628    | 2032                 |
// | FT_INT, FT_AUTOINC, FT_FLOAT    | 4           | 1628    | 2432                 |
// | FT_DOUBLE                       | 8           | 1632    | 3240                 |
// | FT_STRING, composite (length L) | L + 1       | 1632    | 1632 + 201 x (L + 1) |
//
// For the last two rows bytes 1628..1631 are not interpreted (written zero).
// Bytes after the key array are not interpreted. In an inner node key[i] is
// the largest key of child[i]'s subtree. Unused slots are written as child
// -1, record -1, key zero.
//
// Duplicate entry (24 bytes): when a key value belongs to several records
// the leaf's record position points at the first entry of a chain.
//
// | Offset | Size | Content                                                    |
// |--------|------|------------------------------------------------------------|
// | 0      | 8    | "fDUPKEY" and a zero byte (a target is a chain when its    |
// |        |      | first 7 bytes are "fDUPKEY")                               |
// | 8      | i32  | record position                                            |
// | 12     | i32  | next entry, -1 at the end                                  |
// | 16     | i32  | previous entry, -1 in the first entry                      |
// | 20     | i32  | last entry of the chain (kept in the first entry; -1 in    |
// |        |      | the others when written here)                              |
#pragma once
#include <cstdint>
#include <cstring>

namespace tvl::recfmt {

// Header.
constexpr int kHeaderSize = 15472;
constexpr int kMaxFields = 128;
constexpr int kMaxKeys = 10;
constexpr int kMaxSegments = 128;
constexpr int kFieldNameSize = 32;

constexpr int kRecordLength = 32;
constexpr int kRecordCount = 36;
constexpr int kFieldNames = 40;
constexpr int kFieldTypes = 4136;
constexpr int kFieldSizes = 4392;
constexpr int kFieldCount = 4648;
constexpr int kDuplicateMode = 4970;
constexpr int kSegmentField = 4990;
constexpr int kSegmentMode = 7550;
constexpr int kSegmentStart = 10110;
constexpr int kSegmentLength = 12670;
constexpr int kSegmentCount = 15230;
constexpr int kKeyCount = 15250;
constexpr int kRoot = 15252;
constexpr int kFirstLeaf = 15292;
constexpr int kLastLeaf = 15332;
constexpr int kFreeRecords = 15372;
constexpr int kFreeDuplicates = 15376;
constexpr int kRecordFormat = 15380;
constexpr int kTextArea = 15382;
constexpr int kFreeChains = 15452;

// Offset of a per-key, per-segment i16 in one of the segment tables.
constexpr int segment_at(int table, int key, int segment) {
  return table + (key * kMaxSegments + segment) * 2;
}

constexpr int kDuplicatesAllowed = 1;
constexpr int kUnique = 2;
constexpr int kCaseSensitive = 1;
constexpr int kCaseInsensitive = 2;
constexpr int kFixedFormat = -1;

// Node.
constexpr int kNodeSlots = 201;     // one more than a node holds on disk
constexpr int kMaxNodeEntries = 200;
constexpr int kSplitKeep = 100;     // entries left in a split node
constexpr int kNodeCount = 0;
constexpr int kNodeChildren = 4;
constexpr int kNodeRecords = 808;
constexpr int kNodeParent = 1612;
constexpr int kNodeSelf = 1616;
constexpr int kNodePrev = 1620;
constexpr int kNodeNext = 1624;
constexpr int kNodeLinkBytes = 1628;  // count, children, records and links
constexpr int kNodeKeysNarrow = 1628;
constexpr int kNodeKeysWide = 1632;

// Duplicate entry.
constexpr int kDupSize = 24;
constexpr char kDupTag[8] = {'f', 'D', 'U', 'P', 'K', 'E', 'Y', 0};
constexpr int kDupTagCompare = 7;
constexpr int kDupRecord = 8;
constexpr int kDupNext = 12;
constexpr int kDupPrev = 16;
constexpr int kDupLast = 20;

// Chained blocks.
constexpr int kChainBlockHeader = 8;
constexpr int kMaxChainSteps = 1000;

// Little-endian access to byte images.
inline int32_t get_i32(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                              uint32_t(p[3]) << 24);
}
inline void put_i32(uint8_t* p, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  p[0] = uint8_t(u);
  p[1] = uint8_t(u >> 8);
  p[2] = uint8_t(u >> 16);
  p[3] = uint8_t(u >> 24);
}
inline int16_t get_i16(const uint8_t* p) {
  return static_cast<int16_t>(uint16_t(p[0] | p[1] << 8));
}
inline uint16_t get_u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline void put_i16(uint8_t* p, int32_t v) {
  uint16_t u = static_cast<uint16_t>(v);
  p[0] = uint8_t(u);
  p[1] = uint8_t(u >> 8);
}

}  // namespace tvl::recfmt
