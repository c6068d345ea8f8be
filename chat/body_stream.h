// The live form of the message stream: body.ghp asked with "&stream=1"
// after the room number keeps one answer open (text/event-stream, read by
// the window's EventSource) and writes each delivery into it as one piece,
// in order, instead of answering a request per delivery.
//
// What a stream carries (each event ends with an empty line; a text of
// several lines is several "data:" lines, which the reader joins):
//
//   first piece  "retry: 3000", what the place has not yet got (events
//                below), and last the event hello (data "1"): the stream
//                flows; a window that sees no hello soon after opening (a
//                proxy holds the answer back) uses the waiting form instead.
//                Last, so that a proxy which passes only full buffers of a
//                long first piece (a newcomer's history) is found out too
//   users        data "1": the online count changed; reload the user list
//   own          data: lines for the own-messages pane
//   board        data: lines for the board
//   id           "<epoch>.<seq>" on the last event of a piece that delivers
//                lines: the room's line number the place has received up to
//                (the browser's Last-Event-ID when it reconnects)
//   banned       data "1": the place is banned (sent when that begins)
//   unbanned     data "1": the ban is over
//   out          data "1": the place is not (or no longer) online with this
//                key; the stream ends
//   superseded   data "1": a newer stream or wait of the same place took
//                over; the stream ends
//   ": keep-alive"  a comment after ctx.stream_keepalive_ms of silence
//
// A stream ends without a word after ctx.stream_life_ms (kStreamLifeMs
// gives the reason), or when the server stops; the window opens a new one
// where the old one left off.
// One stream per place: opening one ends the place's older stream and wait
// (OnlineUser::live_stream). Lines are handed to the place exactly once,
// either by the stream or by a page answer: while a stream is open, the
// place's posts answer with the poster's own line only and leave the rest
// to the stream. A stream that resumes ("Last-Event-ID: <epoch>.<seq>", or
// "&from=<epoch>.<seq>" after the room number) is handed again the lines
// after that number that it had been handed and lost, as long as the room
// keeps them, never lines a page answer handed out (OnlineUser::stream_floor).
// A page answer of a cluster tells the window its mark too ("tvl.mark=" in
// the page's statements), so that the next question, on whichever server,
// carries it as "&seen=".
// "&from=" with no number (a window whose stream brought no line) goes back
// to what the last page answer handed out. body.ghp's waiting form and
// polls take "&from=" the same way, and end the place's stream: a window
// that gives up on its stream (a proxy held it back) gets what the stream
// took and never brought.
//
// Who writes: on a plain connection, whoever pushes a line (or changes the
// online table) writes each waiting stream's piece of its room at once,
// under the chat lock, without waiting (ChatState::push_message and
// DirectDelivery): a line costs one write per stream and wakes no thread.
// What a connection does not take at once (a slow reader), the end of a
// stream, keep-alives, and every piece on an encrypted connection are the
// stream's own thread's: it takes what is new under the chat lock and
// writes it outside, so a slow reader stalls only its own thread.
#pragma once
#include <memory>
#include <optional>
#include <string>

#include "chat/chat_pages.h"
#include "server/live_stream.h"

namespace tvl {

// The live stream `path` asks for ("&stream=1" after the room number), for
// the place its name and key name; `resume` is the Last-Event-ID header's
// value (empty when none). nullptr when the path asks for none, names no
// valid room, or streams are off (ctx.stream_keepalive_ms <= 0): body.ghp
// then answers the page. A place that is not online gets a stream that says
// "out" and ends. The stream keeps a reference to ctx.
// The "&from=" value of `path` after the room number; nullopt when it asks
// for no resumption.
std::optional<std::string> asked_resume(const std::string& path);

// Chat lock held. Moves the place's delivery point back to `mark` (see
// above), or to its floor when `mark` is empty; a mark of other rings or
// one not understood changes nothing, and nothing moves forward.
// In a cluster (ChatState::shared_epoch) a mark of the cluster's epoch is
// what the visitor has received, wherever it came from, and the place's
// delivery point moves to it, forward too: the visitor's requests reach
// different servers, and none of them knows what the others handed out.
void resume_place(const ChatState& state, OnlineUser& place, const std::string& mark)
    REQUIRES(state.chat_lock());

// The "&seen=<epoch>.<seq>" value of `path` after the room number: the last
// line the window received (it sends it with every question of the message
// stream once it knows one); nullopt when none. Only a cluster reads it
// (take_seen): a server alone knows where its places stand.
std::optional<std::string> asked_seen(const std::string& path);
// Chat lock held. In a cluster, moves the place's delivery point to `mark`
// (as resume_place does for one of the cluster's epoch); alone, nothing.
void take_seen(const ChatState& state, OnlineUser& place, const std::string& mark)
    REQUIRES(state.chat_lock());
// The mark of a place's delivery point, "<epoch>.<seq>".
std::string place_mark(const ChatState& state, const OnlineUser& place)
    REQUIRES(state.chat_lock());

std::unique_ptr<LiveStream> open_body_stream(ChatContext& ctx, const std::string& path,
                                             const std::string& resume);

}  // namespace tvl
