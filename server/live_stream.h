// A body without an end that its source writes as things happen: an event
// stream the connection keeps open, sending each piece the source hands it
// as it comes, until the source says the stream has ended.
//
// Lifetime: owned by the connection that sends it (moved there with its
// Answer); destroyed on the connection's thread when the connection ends,
// whichever way it ends.
// Thread safety: next() is called by that one thread; whoever wakes the
// source from other threads synchronises with it through the source's own
// locks.
#pragma once
#include <string>

namespace tvl {

class LiveStream {
 public:
  virtual ~LiveStream() = default;
  // Blocks until there is something to send (or the source wants a sign of
  // life sent) and appends it to `out`. False when the stream has ended:
  // whatever it appended is the last piece, and the connection closes after
  // sending it.
  virtual bool next(std::string& out) = 0;
};

}  // namespace tvl
