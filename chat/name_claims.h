// NameClaims: a name is online once in a room of a chat that several
// servers share, as it is on one server. Before a new place is taken, the
// entry claims the room's name and the visitor's name (its confusable
// skeleton, see storage/account_name.h, so that a lookalike is refused as
// the name itself) for this server; a name another server holds in that
// room is refused as taken. Each server keeps the claims of its online names alive
// and gives up those no longer online, so a claim lasts as long as its
// place (and a while after its server died). Without one (the default) the
// online table of this server is the whole chat.
//
// Thread safety: claim() is called by client threads at once, never with
// the chat lock held.
#pragma once
#include <string>

namespace tvl {

enum class NameClaim {
  Ours,         // claimed now, or held by this server already
  Elsewhere,    // another server holds the name
  Unreachable,  // the servers' shared store cannot be asked: nothing claimed
};

class NameClaims {
 public:
  virtual ~NameClaims() = default;
  virtual NameClaim claim(const std::string& room_name, const std::string& skeleton) = 0;
};

}  // namespace tvl
