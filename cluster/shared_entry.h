// How a shared line is kept in Redis, and the keys of the cluster.
//
// Keys (every key of the chat begins with "tvl:"):
//   tvl:lines:<room name>  a stream per room: one entry per posted line, in
//                          the order every server applies them; trimmed to
//                          about kStreamKeep entries, which a server that
//                          starts reads into its rings.
//   tvl:node:<node name>   a server's heartbeat "<visitors> <unix seconds>",
//                          expiring kHeartbeatLifeS seconds after its last
//                          write.
//   tvl:nodes              the set of node names that wrote a heartbeat.
//   tvl:name:<room name>\n<folded name>
//                          the node whose visitor holds the name in the
//                          room; expires
//                          kNameLifeS seconds after the node last renewed it
//                          (it renews its online names every few heartbeats
//                          and deletes those that left).
// A room is named, not numbered, so that servers whose room lists are
// ordered differently still share each room's lines.
//
// Fields of a line's stream entry (all text, binary-safe):
//   field  meaning
//   n      the posting server's node name
//   t      the whole ring line (RingLine::text)
//   w      its addressee, "All" for everybody
//   p      on the posting server: the place the private line was written
//          to (decimal; 18446744073709551615: nobody there), 0 otherwise
//   f      on the posting server: the place whose answer showed the line
#pragma once
#include <string>
#include <vector>

#include "chat/line_publisher.h"

namespace tvl {

constexpr int kStreamKeep = 500;   // entries a room's stream keeps (about)
constexpr int kHeartbeatLifeS = 10;
constexpr int kNameLifeS = 60;

std::string room_stream_key(const std::string& room_name);
std::string node_key(const std::string& node);
extern const char kNodesKey[];
// A claim names a room and a folded name: "<room name>\n<folded name>"
// (neither holds a line end).
std::string name_claim(const std::string& room_name, const std::string& name_fold);
std::string name_key(const std::string& claim);

// The command that claims, or renews, `claim` (a name_claim) for `node`: the name
// becomes or stays the node's for kNameLifeS seconds. Its reply is 1 when
// the name is the node's now, 0 when another node holds it.
std::vector<std::string> claim_name_command(const std::string& claim, const std::string& node);
// The same for several claims in one round trip; the reply is an array of
// 1 (ours now) or 0 (another node's), in the order of `claims`.
std::vector<std::string> claim_names_command(const std::vector<std::string>& claims,
                                             const std::string& node);
// The command that gives the name up, only when `node` holds it.
std::vector<std::string> release_name_command(const std::string& claim, const std::string& node);

// The XADD command of `line` in the stream of `room_name`, from `node`.
std::vector<std::string> xadd_command(const std::string& room_name, const std::string& node,
                                      const SharedLine& line);

// A stream entry read back. False when a field is missing or a number is
// not one (the entry is then skipped: it was not written by a server).
struct EntryLine {
  std::string node;
  SharedLine line;  // room left 0: the reader knows it from the key
};
[[nodiscard]] bool read_entry(const std::vector<std::string>& fields, EntryLine& into);

// A stream entry id "<milliseconds>-<sequence>" as two numbers, so that ids
// compare in stream order. False for anything else.
struct StreamId {
  unsigned long long ms = 0, seq = 0;
  bool operator<(const StreamId& o) const { return ms != o.ms ? ms < o.ms : seq < o.seq; }
  std::string text() const;
};
[[nodiscard]] bool parse_stream_id(const std::string& text, StreamId& into);

// The place fields of a line as a receiving server keeps them (RingLine's
// to_place and from_place). `own`: this server posted it; `private_line`:
// it goes to one place; `local_addressee` is the place of this server's
// visitor of that name in the room (0: none). A line posted elsewhere was
// shown to its sender there, never here, and a private line reaches the
// place that holds its addressee on exactly one server: the posting one
// when it found the addressee there, otherwise the one holding the name.
struct LocalPlaces {
  unsigned long long to_place = 0, from_place = 0;
};
LocalPlaces local_places(const SharedLine& line, bool own, bool private_line,
                         unsigned long long local_addressee);

}  // namespace tvl
