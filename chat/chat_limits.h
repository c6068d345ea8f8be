// The bounds of the chat, each with the reason for its value. Everything a
// visitor can make the server hold or repeat for other visitors is bounded
// here; tests shorten the time limits through ChatContext.
#pragma once
#include <cstddef>

namespace tvl {

// Longest chat line a visitor may type, in bytes after form decoding. Every
// kept line is sent again to every user of the room (up to 20 lines in a
// first poll), so one long line costs the server many times its size; 4,000
// bytes hold several paragraphs and are far beyond what the input field is
// used for.
constexpr std::size_t kMaxMessageBytes = 4000;

// What formatting may make of a typed line: the colour, style and face
// markup around it (at most kFormatMarkupBytes), and links, the end tags the
// HTML guard adds and its character references, together at most
// kLineGrowthFactor times the typed bytes. Every kept line goes to every
// newcomer's first poll, so without this a 4,000-byte line of addresses
// would cost eight times its size there. A line whose links would break the
// bound is kept without the ones that do not fit.
constexpr std::size_t kLineGrowthFactor = 4;
constexpr std::size_t kFormatMarkupBytes = 128;
constexpr std::size_t max_formatted_bytes(std::size_t typed_bytes) {
  return kLineGrowthFactor * typed_bytes + kFormatMarkupBytes;
}

// An online user who has neither polled nor posted for this long has left:
// the pages ask for lines every 2 seconds, or wait at most kStreamWaitMs
// (and count as present while they wait), so a minute of silence means the
// window is gone (closed tab, lost network), and the place and the name are
// given back.
constexpr long long kIdleLeaveMs = 60 * 1000;

// The waiting form of the message stream answers after this long when
// nothing new came: well below the minute after which proxies and browsers
// commonly give up on an answer, and long enough that a quiet room costs a
// visitor about two requests a minute.
constexpr long long kStreamWaitMs = 25 * 1000;

// A live stream (chat/body_stream.h) that has sent nothing for this long
// sends a comment: proxies and browsers commonly close an answer that has
// been silent for a minute, and the comment also tells a stream whose peer
// is gone (its write fails) within two of these.
constexpr long long kStreamKeepAliveMs = 20 * 1000;

// A live stream ends after this long and the window opens a new one where
// it left off. A window that vanished without closing its connection (a lost
// network: no close ever arrives, and small keep-alives still fit the
// socket's buffer) would otherwise keep its place present for as long as
// the system keeps the connection; so it holds it at most this long, and
// the idle bound then gives the place back. One new request per window in
// three minutes costs nothing that matters.
constexpr long long kStreamLifeMs = 3 * 60 * 1000;

// Stale places are looked for at most this often; each sweep walks the whole
// online table under the chat lock.
constexpr long long kSweepIntervalMs = 1000;

}  // namespace tvl
