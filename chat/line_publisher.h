// LinePublisher: where a posted line goes when the chat is shared by
// several servers. Without one (the default), a post pushes its line into
// the room's ring itself. With one, the post hands the line over instead,
// and the line reaches this server's ring the way it reaches every other
// server's: through the publisher's reader, in the one order all servers
// share. The chat layer knows only this interface; cluster/ implements it.
//
// Thread safety: publish() is called by client threads at once, never with
// the chat lock held (the publisher's reader needs that lock to push).
#pragma once
#include "platform/reason.h"
#include <string>

namespace tvl {

// One line as the post made it.
struct SharedLine {
  int room = 0;           // 1..room count of the posting server
  std::string text;       // the whole ring line
  std::string to_whom;    // its addressee, "All" for everybody
  // Meaningful on the posting server only: the place (OnlineUser::place_id)
  // a private line was written to (~0: nobody there), and the place whose
  // post answer already showed the line.
  unsigned long long to_place = 0;
  unsigned long long from_place = 0;
};

class LinePublisher {
 public:
  virtual ~LinePublisher() = default;
  // Sends `line` to every server. True once the shared order holds it; the
  // call then waits (bounded) until this server's ring holds it too, so
  // that the post's answer is not ahead of the ring. False when it could
  // not be sent: the line is stored nowhere and `why` says so for a person.
  [[nodiscard]] virtual bool publish(const SharedLine& line, Reason& why) = 0;
};

}  // namespace tvl
