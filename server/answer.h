// What the request hook gives back for one request: the bytes of the answer
// and what becomes of the connection after it.
//
// The answer on the wire is `text` followed by the body that `body` or
// `stream` carries (at most one of them), and nothing else: a page answer
// holds header and page in `text`; a file answer may hold only its header
// there and send the file's cached bytes (`body`, shared, never copied) or
// the open file in pieces (`stream`). A live answer (`live`) sends `text`
// (its header) and then whatever the live stream hands out while it lasts;
// the connection closes after it.
// Lifetime: moved from the hook to the connection that sends it; the shared
// body may outlive the file cache's entry.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "server/answer_stream.h"
#include "server/live_stream.h"

namespace tvl {

struct Answer {
  // False: the connection is closed without an answer.
  bool send = true;
  // Whether the connection waits for another request after this answer.
  bool keep_alive = false;
  std::string text;
  std::shared_ptr<const std::string> body;
  std::unique_ptr<AnswerStream> stream;
  std::unique_ptr<LiveStream> live;

  // The answer that closes the connection without a byte.
  static Answer none() {
    Answer a;
    a.send = false;
    return a;
  }

  // Bytes the answer puts on the wire.
  std::uint64_t size() const {
    return text.size() + (body ? body->size() : 0) + (stream ? stream->size() : 0);
  }

  // Leaves the header alone (HEAD): `text` up to and including its empty
  // line, no body.
  void drop_body() {
    const std::size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos) text.resize(end + 4);
    body.reset();
    stream.reset();
    live.reset();
  }
};

}  // namespace tvl
