#include "cluster/shared_entry.h"

#include <charconv>

#include "storage/account_name.h"

namespace tvl {

const char kNodesKey[] = "tvl:nodes";
const char kEpochKey[] = "tvl:epoch";
const char kPlacesKey[] = "tvl:places";
const char kSeenKey[] = "tvl:seen";
const char kBansKey[] = "tvl:bans";

namespace {

bool parse_unsigned(const std::string& text, unsigned long long& value) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool parse_small(const std::string& text, long long limit, long long& value) {
  unsigned long long v = 0;
  if (!parse_unsigned(text, v) || v > static_cast<unsigned long long>(limit)) return false;
  value = static_cast<long long>(v);
  return true;
}

// Appends "key value" pairs of an entry.
void add(std::vector<std::string>& argv, const char* key, std::string value) {
  argv.emplace_back(key);
  argv.push_back(std::move(value));
}

}  // namespace

std::string room_stream_key(const std::string& room_name) { return "tvl:lines:" + room_name; }
std::string node_key(const std::string& node) { return "tvl:node:" + node; }
std::string name_claim(const std::string& room_name, const std::string& name_fold) {
  return room_name + "\n" + name_fold;
}
std::string name_key(const std::string& claim) { return "tvl:name:" + claim; }

// Both run in Redis as one step, so that no other node's claim comes
// between the look and the change.
std::vector<std::string> claim_name_command(const std::string& claim, const std::string& node) {
  static const char kScript[] =
      "local v = redis.call('GET', KEYS[1]) "
      "if not v or v == ARGV[1] then redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2]) return 1 end "
      "return 0";
  return {"EVAL", kScript, "1", name_key(claim), node, std::to_string(kNameLifeS)};
}

std::vector<std::string> claim_names_command(const std::vector<std::string>& claims,
                                             const std::string& node) {
  // KEYS: the claims, then tvl:epoch.
  static const char kScript[] =
      "local got = {} "
      "for i = 1, #KEYS - 1 do "
      "local v = redis.call('GET', KEYS[i]) "
      "if not v or v == ARGV[1] then redis.call('SET', KEYS[i], ARGV[1], 'EX', ARGV[2]) got[i] = 1 "
      "else got[i] = 0 end "
      "end "
      "got[#KEYS] = redis.call('EXISTS', KEYS[#KEYS]) "
      "return got";
  std::vector<std::string> argv{"EVAL", kScript, std::to_string(claims.size() + 1)};
  for (const std::string& claim : claims) argv.push_back(name_key(claim));
  argv.push_back(kEpochKey);
  argv.push_back(node);
  argv.push_back(std::to_string(kNameLifeS));
  return argv;
}

std::vector<std::string> release_name_command(const std::string& claim, const std::string& node) {
  static const char kScript[] =
      "if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end "
      "return 0";
  return {"EVAL", kScript, "1", name_key(claim), node};
}

std::vector<std::string> xadd_command(const std::string& room_name, const std::string& node,
                                      const SharedLine& line) {
  return {"XADD", room_stream_key(room_name), "MAXLEN", "~", std::to_string(kStreamKeep), "*",
          "n", node, "t", line.text, "w", line.to_whom,
          "p", std::to_string(line.to_place), "f", std::to_string(line.from_place)};
}

bool read_entry(const std::vector<std::string>& fields, EntryLine& into) {
  if (fields.size() % 2 != 0) return false;
  EntryLine e;
  int seen = 0;
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
    const std::string& key = fields[i];
    const std::string& value = fields[i + 1];
    if (key == "n") e.node = value, seen |= 1;
    else if (key == "t") e.line.text = value, seen |= 2;
    else if (key == "w") e.line.to_whom = value, seen |= 4;
    else if (key == "p") {
      if (!parse_unsigned(value, e.line.to_place)) return false;
      seen |= 8;
    } else if (key == "f") {
      if (!parse_unsigned(value, e.line.from_place)) return false;
      seen |= 16;
    }
  }
  if (seen != 31) return false;
  into = std::move(e);
  return true;
}

std::string StreamId::text() const { return std::to_string(ms) + "-" + std::to_string(seq); }

bool parse_stream_id(const std::string& text, StreamId& into) {
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos) return false;
  StreamId id;
  if (!parse_unsigned(text.substr(0, dash), id.ms) || !parse_unsigned(text.substr(dash + 1), id.seq))
    return false;
  into = id;
  return true;
}

LocalPlaces local_places(const SharedLine& line, bool own, bool private_line,
                         unsigned long long local_addressee) {
  LocalPlaces p;
  p.from_place = line.from_place;
  if (!private_line) return p;
  if (own || line.to_place != ~0ULL) {
    // The posting server's table is the whole chat's: the place it found
    // is the addressee's on every server.
    p.to_place = line.to_place;
    return p;
  }
  // The posting server did not know the addressee yet (its entry was on
  // its way): the place of that name here, if any.
  p.to_place = local_addressee != 0 ? local_addressee : ~0ULL;
  return p;
}

std::string room_seq_key(const std::string& room_name) { return "tvl:seq:" + room_name; }

std::string ban_field(const std::string& room_name, const std::string& name) {
  return account_name_fold(room_name) + "\n" + account_name_fold(name);
}

std::vector<std::string> place_fields(const SharedPlace& place) {
  std::vector<std::string> f;
  add(f, "i", std::to_string(place.id));
  add(f, "a", place.name);
  add(f, "c", place.icon);
  add(f, "d", place.digest);
  add(f, "m", place.member ? "1" : "0");
  add(f, "o", std::to_string(place.online_since < 0 ? 0 : place.online_since));
  add(f, "nf", place.name_fold);
  add(f, "sk", place.skeleton);
  add(f, "ip", place.address);
  add(f, "b", place.active ? "1" : "0");
  add(f, "bl", std::to_string(place.ban_left_ms < 0 ? 0 : place.ban_left_ms));
  add(f, "sp", place.split ? "1" : "0");
  return f;
}

bool read_place(const std::vector<std::string>& fields, SharedPlace& into) {
  if (fields.size() % 2 != 0) return false;
  SharedPlace p;
  int seen = 0;
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
    const std::string& key = fields[i];
    const std::string& value = fields[i + 1];
    if (key == "i") {
      if (!parse_unsigned(value, p.id) || p.id == 0) return false;
      seen |= 1;
    } else if (key == "a") p.name = value, seen |= 2;
    else if (key == "c") p.icon = value;
    else if (key == "d") p.digest = value;
    else if (key == "m") p.member = value == "1";
    else if (key == "o") {
      if (!parse_small(value, 1LL << 40, p.online_since)) return false;
    } else if (key == "nf") p.name_fold = value;
    else if (key == "sk") p.skeleton = value;
    else if (key == "ip") p.address = value;
    else if (key == "b") p.active = value != "0";
    else if (key == "sp") p.split = value == "1";
    else if (key == "bl") {
      if (!parse_small(value, 1LL << 50, p.ban_left_ms)) return false;
    }
  }
  if (seen != 3) return false;
  into = std::move(p);
  return true;
}

std::string encode_fields(const std::vector<std::string>& fields) {
  std::string text;
  for (const std::string& f : fields) text += std::to_string(f.size()) + ":" + f;
  return text;
}

bool decode_fields(const std::string& text, std::vector<std::string>& into) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t colon = text.find(':', at);
    unsigned long long size = 0;
    if (colon == std::string::npos || !parse_unsigned(text.substr(at, colon - at), size) ||
        size > text.size() - colon - 1)
      return false;
    fields.push_back(text.substr(colon + 1, size));
    at = colon + 1 + size;
  }
  into = std::move(fields);
  return true;
}

std::string place_record(const SharedPlace& place) {
  std::vector<std::string> fields = {place.room_name};
  for (std::string& f : place_fields(place)) fields.push_back(std::move(f));
  return encode_fields(fields);
}

bool read_place_record(const std::string& record, SharedPlace& into) {
  std::vector<std::string> fields;
  if (!decode_fields(record, fields) || fields.empty()) return false;
  SharedPlace p;
  if (!read_place(std::vector<std::string>(fields.begin() + 1, fields.end()), p)) return false;
  p.room_name = fields[0];
  into = std::move(p);
  return true;
}

std::vector<std::string> stream_write_command(const StreamWrite& write, const std::string& node) {
  // KEYS: the stream, the room's counter, tvl:places, tvl:seen, the name
  // claim of the place (only one place of a room holds a name's skeleton,
  // so a leave frees it for the whole chat at once), tvl:bans.
  // ARGV: kept length, floor, "1" when numbered, what becomes of the
  // place's record or the room ban (set, del, ban, unban or nothing), the
  // place's id or the ban's field, the place's record or "<ms left>
  // <address>" of the ban, then the entry's fields after "s".
  static const char kScript[] =
      "local s = 0 "
      "if ARGV[3] == '1' then "
      "s = redis.call('INCR', KEYS[2]) "
      "local floor = tonumber(ARGV[2]) "
      "if s <= floor then s = floor + 1 redis.call('SET', KEYS[2], s) end "
      "end "
      "local id = redis.call('XADD', KEYS[1], 'MAXLEN', '~', ARGV[1], '*', 's', s, "
      "unpack(ARGV, 7)) "
      "if ARGV[4] == 'set' then redis.call('HSET', KEYS[3], ARGV[5], ARGV[6]) "
      "elseif ARGV[4] == 'del' then redis.call('HDEL', KEYS[3], ARGV[5]) "
      "redis.call('HDEL', KEYS[4], ARGV[5]) redis.call('DEL', KEYS[5]) "
      "elseif ARGV[4] == 'ban' then "
      "local left, at = string.match(ARGV[6], '^(%d+) (.*)$') "
      "local e = 0 "
      "if tonumber(left) > 0 then local t = redis.call('TIME') "
      "e = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) + tonumber(left) end "
      "redis.call('HSET', KEYS[6], ARGV[5], string.format('%.0f', e) .. ' ' .. at) "
      "elseif ARGV[4] == 'unban' then redis.call('HDEL', KEYS[6], ARGV[5]) end "
      "return {id, s}";
  const bool ban = write.kind == "b" || write.kind == "r";
  const bool place = write.kind != "l" && !ban;
  const long long left = write.ban.left_ms < 0 ? 0 : write.ban.left_ms;
  std::vector<std::string> argv{"EVAL", kScript, "6", room_stream_key(write.room_name),
                                room_seq_key(write.room_name), kPlacesKey, kSeenKey,
                                name_key(name_claim(write.room_name, write.place.skeleton)),
                                kBansKey, std::to_string(kStreamKeep), std::to_string(write.floor),
                                write.line.empty() ? "0" : "1"};
  if (ban) {
    argv.push_back(write.kind == "b" ? "ban" : "unban");
    argv.push_back(ban_field(write.room_name, write.ban.name));
    argv.push_back(std::to_string(left) + " " + write.ban.address);
  } else {
    argv.push_back(!place ? "" : write.kind == "x" ? "del" : "set");
    argv.push_back(std::to_string(write.place.id));
    argv.push_back(place && write.kind != "x" ? place_record(write.place) : "");
  }
  add(argv, "k", write.kind);
  add(argv, "n", node);
  add(argv, "t", write.line);
  add(argv, "w", write.to_whom);
  add(argv, "p", std::to_string(write.to_place));
  add(argv, "f", std::to_string(write.from_place));
  if (place)
    for (std::string& f : place_fields(write.place)) argv.push_back(std::move(f));
  if (ban) {
    add(argv, "bn", write.ban.name);
    add(argv, "ba", write.ban.address);
    add(argv, "bl", std::to_string(left));
  }
  return argv;
}

namespace {

// The ban fields of an entry of kind b or r; false when the name is missing
// or the time left is not a number.
bool read_ban(const std::vector<std::string>& fields, SharedBan& into) {
  SharedBan b;
  bool named = false;
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
    const std::string& key = fields[i];
    if (key == "bn") b.name = fields[i + 1], named = true;
    else if (key == "ba") b.address = fields[i + 1];
    else if (key == "bl" && !parse_small(fields[i + 1], 1LL << 50, b.left_ms)) return false;
  }
  if (!named || b.name.empty()) return false;
  into = std::move(b);
  return true;
}

}  // namespace

bool read_stream_entry(const std::vector<std::string>& fields, StreamEntry& into) {
  if (fields.size() % 2 != 0) return false;
  StreamEntry e;
  std::vector<std::string> line_fields;
  unsigned long long seq = 0;
  bool numbered = false;
  for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
    const std::string& key = fields[i];
    if (key == "s") {
      if (!parse_unsigned(fields[i + 1], seq) || seq > 0x7fffffffULL) return false;
      numbered = true;
    } else if (key == "k") {
      e.kind = fields[i + 1];
    } else if (key == "n" || key == "t" || key == "w" || key == "p" || key == "f") {
      line_fields.push_back(key);
      line_fields.push_back(fields[i + 1]);
    }
  }
  EntryLine line;
  if (!numbered || !read_entry(line_fields, line)) return false;
  if (e.kind == "b" || e.kind == "r") {
    if (!read_ban(fields, e.ban)) return false;
  } else if (e.kind != "l" && e.kind != "e" && e.kind != "x" && e.kind != "u") {
    return false;
  } else if (e.kind != "l" && !read_place(fields, e.place)) {
    return false;
  }
  e.seq = static_cast<int>(seq);
  e.node = std::move(line.node);
  e.line = std::move(line.line);
  into = std::move(e);
  return true;
}

std::vector<std::string> rejoin_command(
    unsigned epoch, const std::vector<std::pair<std::string, int>>& held,
    const std::vector<SharedPlace>& places,
    const std::vector<std::pair<std::string, SharedBan>>& bans) {
  // KEYS: tvl:epoch, tvl:places, the rooms' counters, their streams,
  // tvl:bans. ARGV: the epoch, the room count n, the n numbers held, the
  // place count m, m pairs (id, record), then triples (field, ms left,
  // address) of the bans.
  static const char kScript[] =
      "local fresh = redis.call('SET', KEYS[1], ARGV[1], 'NX') "
      "local n = tonumber(ARGV[2]) "
      "for i = 1, n do "
      "local c = tonumber(redis.call('GET', KEYS[2 + i]) or '0') "
      "local h = tonumber(ARGV[2 + i]) "
      "if c < h then redis.call('SET', KEYS[2 + i], h) end "
      "end "
      "local m = tonumber(ARGV[3 + n]) "
      "local bans = KEYS[3 + 2 * n] "
      "local t = redis.call('TIME') "
      "local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) "
      "if fresh then "
      "for i = 4 + n, 3 + n + 2 * m, 2 do redis.call('HSETNX', KEYS[2], ARGV[i], ARGV[i + 1]) end "
      "for i = 4 + n + 2 * m, #ARGV, 3 do "
      "local left = tonumber(ARGV[i + 1]) local e = 0 "
      "if left > 0 then e = now + left end "
      "redis.call('HSETNX', bans, ARGV[i], string.format('%.0f', e) .. ' ' .. ARGV[i + 2]) "
      "end "
      "end "
      "local out = {redis.call('GET', KEYS[1]), fresh and 1 or 0, "
      "redis.call('HGETALL', KEYS[2])} "
      "for i = 1, n do "
      "local last = redis.call('XREVRANGE', KEYS[2 + n + i], '+', '-', 'COUNT', 1) "
      "out[#out + 1] = last[1] and last[1][1] or '0-0' "
      "end "
      "local holding = {} "
      "local all = redis.call('HGETALL', bans) "
      "for i = 1, #all, 2 do "
      "local e, at = string.match(all[i + 1], '^(%d+) (.*)$') "
      "e = tonumber(e) "
      "if not e or (e ~= 0 and e <= now) then redis.call('HDEL', bans, all[i]) "
      "else "
      "holding[#holding + 1] = all[i] "
      "holding[#holding + 1] = e == 0 and '0' or string.format('%.0f', e - now) "
      "holding[#holding + 1] = at "
      "end "
      "end "
      "out[#out + 1] = holding "
      "return out";
  std::vector<std::string> argv{"EVAL", kScript, std::to_string(3 + 2 * held.size()), kEpochKey,
                                kPlacesKey};
  for (const auto& h : held) argv.push_back(room_seq_key(h.first));
  for (const auto& h : held) argv.push_back(room_stream_key(h.first));
  argv.push_back(kBansKey);
  argv.push_back(std::to_string(epoch));
  argv.push_back(std::to_string(held.size()));
  for (const auto& h : held) argv.push_back(std::to_string(h.second));
  argv.push_back(std::to_string(places.size()));
  for (const SharedPlace& p : places) {
    argv.push_back(std::to_string(p.id));
    argv.push_back(place_record(p));
  }
  for (const auto& [field, ban] : bans) {
    argv.push_back(field);
    argv.push_back(std::to_string(ban.left_ms < 0 ? 0 : ban.left_ms));
    argv.push_back(ban.address);
  }
  return argv;
}

std::vector<std::string> presence_command(const std::vector<unsigned long long>& served,
                                          const std::vector<unsigned long long>& idle,
                                          long long life_ms) {
  static const char kScript[] =
      "local t = redis.call('TIME') "
      "local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) "
      "local n = tonumber(ARGV[2]) "
      "for i = 3, 2 + n do redis.call('HSET', KEYS[1], ARGV[i], now) end "
      "local out = {} "
      "for i = 3 + n, #ARGV do "
      "local at = redis.call('HGET', KEYS[1], ARGV[i]) "
      "if not at then redis.call('HSET', KEYS[1], ARGV[i], now) "
      "elseif at ~= 'gone' and now - tonumber(at) > tonumber(ARGV[1]) then "
      "redis.call('HSET', KEYS[1], ARGV[i], 'gone') out[#out + 1] = ARGV[i] end "
      "end "
      "return out";
  std::vector<std::string> argv{"EVAL", kScript, "1", kSeenKey, std::to_string(life_ms),
                                std::to_string(served.size())};
  for (unsigned long long id : served) argv.push_back(std::to_string(id));
  for (unsigned long long id : idle) argv.push_back(std::to_string(id));
  return argv;
}

}  // namespace tvl
