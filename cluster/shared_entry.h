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
//   tvl:seq:<room name>    the number of the room's last line (INCR).
//   tvl:epoch              the cluster's epoch of line numbers.
//   tvl:places             a hash: place id -> the place's record (as an
//                          entry's place fields, encode_fields), so that a
//                          server that starts knows who is online.
//   tvl:seen               a hash: place id -> Redis's clock (ms) when a
//                          server last served the place.
//   tvl:name:<room name>\n<skeleton>
//                          the place (id) whose visitor holds the name, or
//                          one that looks like it, in the room; expires
//                          kNameLifeS seconds after it was last renewed
//                          (every server renews the names of its table
//                          every few heartbeats; a leave deletes it).
//   tvl:bans               a hash: "<room fold>\n<name fold>" -> "<end> <join
//                          address>" of each room ban (chat/room_ban.h),
//                          the end in Redis's clock (ms), 0 until lifted;
//                          a server that starts reads it, and an ended ban
//                          is dropped then.
// A room is named, not numbered, so that servers whose room lists are
// ordered differently still share each room's lines.
//
// Fields of a stream entry (all text, binary-safe):
//   field  meaning
//   s      the line's number in the room (0: the entry carries no line)
//   k      what it is: l a posted line, e a place entered, x a place left,
//          u a place changed (key, picture or ban), b a room ban set, r a
//          room ban lifted
//   n      the writing server's node name and run ("<node> <run>")
//   t      the whole ring line (RingLine::text)
//   w      its addressee, "All" for everybody
//   p      on the posting server: the place the private line was written
//          to (decimal; 18446744073709551615: nobody there), 0 otherwise
//   f      the place whose answer showed the line (place ids are the
//          cluster's: every server skips it for that place)
// Entries of places (e, x, u) carry "t" (the presence line, may be empty),
// "w", and the place's fields: i (id), a (name as in addresses), c
// (picture), d (key digest), m (member 0/1), o (online since, unix s), nf
// (name fold), sk (skeleton), ip (join address), b (active 0/1), bl (ban's
// milliseconds left, 0: until lifted), sp (own messages in their own pane
// 0/1).
// Entries of room bans (b, r) carry "t" and "w" empty and: bn (the name as
// typed), ba (the banned place's join address), bl (the ban's milliseconds
// left, 0: until lifted).
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
// 1 (ours now) or 0 (another node's), in the order of `claims`, and one
// more item: 1 while Redis holds the cluster's epoch, 0 when it lost it
// (emptied under the nodes' connections).
std::vector<std::string> claim_names_command(const std::vector<std::string>& claims,
                                             const std::string& node);
// The command that gives the name up, only when `node` holds it.
std::vector<std::string> release_name_command(const std::string& claim, const std::string& node);

// The XADD command of `line` in the stream of `room_name`, from `node`.
std::vector<std::string> xadd_command(const std::string& room_name, const std::string& node,
                                      const SharedLine& line);

// The keys of the shared online table and line numbers.
std::string room_seq_key(const std::string& room_name);
extern const char kEpochKey[];
extern const char kPlacesKey[];
extern const char kSeenKey[];
extern const char kBansKey[];
// The field of tvl:bans of a ban of `name` in the room `room_name`.
std::string ban_field(const std::string& room_name, const std::string& name);

// A room ban as it travels.
struct SharedBan {
  std::string name;     // as typed; a field of tvl:bans holds its fold
  std::string address;  // the banned place's join address
  long long left_ms = 0;  // 0: until lifted
};

// A place as it travels: the fields of an entry of a place, and its room's
// name (for the record of tvl:places).
struct SharedPlace {
  unsigned long long id = 0;
  std::string room_name;
  std::string name, icon, digest, name_fold, skeleton, address;
  bool member = false, active = true;
  bool split = false;  // own messages in their own pane
  long long online_since = 0;
  long long ban_left_ms = 0;  // 0: no ban, or one until lifted
};
// Entry fields ("i", "a", ...) of `place`, without the room.
std::vector<std::string> place_fields(const SharedPlace& place);
// False when a field is missing or a number is not one.
[[nodiscard]] bool read_place(const std::vector<std::string>& fields, SharedPlace& into);
// A list of strings as one ("<length>:<bytes>" each) and back; false for
// text that is not such a list.
std::string encode_fields(const std::vector<std::string>& fields);
[[nodiscard]] bool decode_fields(const std::string& text, std::vector<std::string>& into);
// The record of tvl:places: the room name, then place_fields.
std::string place_record(const SharedPlace& place);
[[nodiscard]] bool read_place_record(const std::string& record, SharedPlace& into);

// One entry for a room's stream, written by one script that numbers it
// (when it carries a line) and keeps the shared table in step.
struct StreamWrite {
  std::string room_name;
  std::string kind = "l";    // l, e, x, u
  std::string line;          // empty: no line, no number
  std::string to_whom = "All";
  unsigned long long to_place = 0, from_place = 0;
  SharedPlace place;         // e, x, u
  SharedBan ban;             // b, r
  int floor = 0;             // the writer's last number of the room
};
// The EVAL command; its reply is an array {entry id, number}. The number
// is the counter's next, but never at or below `floor`: a Redis that lost
// its counter goes on above what the writer holds. An e or u entry writes
// the place's record, an x entry deletes it, its presence stamp and its
// name claim; a b entry writes the ban into tvl:bans, an r entry deletes it.
std::vector<std::string> stream_write_command(const StreamWrite& write, const std::string& node);

// A stream entry read back (any kind).
struct StreamEntry {
  std::string node;
  std::string kind;
  int seq = 0;
  SharedLine line;     // text and to_whom; places for kind l
  SharedPlace place;   // kinds e, x, u
  SharedBan ban;       // kinds b, r
};
[[nodiscard]] bool read_stream_entry(const std::vector<std::string>& fields, StreamEntry& into);

// The command a server runs when it first reaches Redis and whenever it
// reaches it again: it proposes `epoch` (kept if Redis has none), lifts
// each room's counter to what the server holds (`held`, by room name), and
// when Redis had no epoch (it was empty) writes the server's `places` into
// tvl:places and its `bans` (field of tvl:bans, ban) into tvl:bans. The
// reply: {epoch, 1 when Redis was empty, the places hash (flat: id, record,
// ...), then each room stream's last entry id ("0-0" for none), in the
// order of `held`, then the bans that hold (flat: field, milliseconds left
// or 0, join address, ...)}; the bans that ended are dropped.
std::vector<std::string> rejoin_command(
    unsigned epoch, const std::vector<std::pair<std::string, int>>& held,
    const std::vector<SharedPlace>& places,
    const std::vector<std::pair<std::string, SharedBan>>& bans = {});

// The presence round: stamps the places `served` with Redis's clock, and
// of `idle` (places nobody served here lately) returns those no server
// served within `life_ms` (each to one caller only). A place Redis has no
// stamp of (it restarted empty) is stamped now.
std::vector<std::string> presence_command(const std::vector<unsigned long long>& served,
                                          const std::vector<unsigned long long>& idle,
                                          long long life_ms);

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
// from_place is kept on every server: place ids are the cluster's, and the
// sender's next question may reach any server.
LocalPlaces local_places(const SharedLine& line, bool own, bool private_line,
                         unsigned long long local_addressee);

}  // namespace tvl
