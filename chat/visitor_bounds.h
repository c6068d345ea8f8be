// What one visitor may take of the chat: lines per place, places per client
// network. The limits come from option.ini (ServerSettings); 0 or less means
// no bound.
#pragma once
#include <string>

#include "chat/chat_state.h"
#include "storage/settings.h"

namespace tvl {

// Flood control for one place: `burst` lines at once, then one line per
// `interval_ms`, on the chat clock. `due_ms` is the place's own state
// (OnlineUser::post_due_ms): the time by which every line taken so far is
// paid for at one per interval. A line may go when that lies at most
// (burst - 1) intervals ahead of `now`; taking it moves `due_ms` one
// interval further. False (and `due_ms` unchanged) when the line is over
// the bound. Always true when burst or interval_ms is 0 or less.
[[nodiscard]] bool take_post_turn(long long& due_ms, long long now, int burst, int interval_ms);

// Chat lock held. Whether a client network (client_network_of) may take one
// more place: true when MaxPlacesPerAddress is 0 or less, or fewer than it
// entries of the online table joined from an address of `network`.
[[nodiscard]] bool network_may_take_place(const ChatState& state, const std::string& network,
                                          const ServerSettings& settings)
    REQUIRES(state.chat_lock());

}  // namespace tvl
