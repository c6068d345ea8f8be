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
#include <string_view>

namespace tvl {

// The connection of a live stream, as its source may write to it from
// another thread while the connection's own thread waits in next() with
// nothing of the stream unsent. The source's locks keep those writes and the
// connection's own steps apart: a write may only happen while next() waits.
class LiveOutlet {
 public:
  // Sends what the peer takes of `data` now, without waiting: the bytes
  // taken (0 when its window is full); -1 when the connection is broken.
  // What is not taken is the source's to hand out as its next piece.
  virtual long send_now(std::string_view data) = 0;

 protected:
  ~LiveOutlet() = default;
};

class LiveStream {
 public:
  virtual ~LiveStream() = default;
  // Called once before the first next() on a connection whose writes may
  // come from any thread (a plain socket). A source never given one writes
  // only through next().
  virtual void attach(LiveOutlet& outlet) { (void)outlet; }
  // Blocks until there is something to send (or the source wants a sign of
  // life sent) and appends it to `out`. False when the stream has ended:
  // whatever it appended is the last piece, and the connection closes after
  // sending it.
  virtual bool next(std::string& out) = 0;
};

}  // namespace tvl
