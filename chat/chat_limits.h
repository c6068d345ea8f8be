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

// Link-making may grow a line (each address is written twice inside the
// link's markup). Past this size no further link is made; the text stays
// readable as typed.
constexpr std::size_t kMaxLinkedLineBytes = 32 * 1024;

// Longest message text a pushed line carries (after the time and the names).
// Should link-making and the HTML guard together still produce more, the
// line is pushed without links instead.
constexpr std::size_t kMaxPushedLineBytes = 64 * 1024;

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

// Stale places are looked for at most this often; each sweep walks the whole
// online table under the chat lock.
constexpr long long kSweepIntervalMs = 1000;

}  // namespace tvl
