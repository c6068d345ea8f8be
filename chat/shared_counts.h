// SharedCounts: the failed logins and new accounts of a chat that several
// servers share, counted for all of them, and its closed guest entry. Each server still bounds the
// checks it runs itself (LoginBounds); with SharedCounts the failures and
// registrations made through every server count against the same bounds,
// so a guesser who spreads its attempts over the servers gains nothing.
// cluster/ implements it; without one (the default) the server's own
// counts are the whole chat's.
//
// A store that cannot be asked refuses nothing (the server's own bounds
// still hold) and counts nothing.
// Thread safety: any thread at once; never called with a lock of the chat
// or of LoginBounds held.
#pragma once
#include <string>

namespace tvl {

class SharedCounts {
 public:
  virtual ~SharedCounts() = default;
  // Whether the failures from `network`, or of `account_fold` when it is
  // not empty, reached `bound` within the failure window (or the lockout
  // that followed).
  virtual bool logins_refused(const std::string& network, const std::string& account_fold,
                              int bound) = 0;
  // Counts a failed password check from `network`, and of `account_fold`
  // when it is not empty.
  virtual void login_failed(const std::string& network, const std::string& account_fold,
                            int bound) = 0;
  // Counts a new account from `network` before it is written; false (not
  // counted) when `bound` were made or are being made within the hour.
  virtual bool begin_registration(const std::string& network, int bound) = 0;
  // Gives back the count of a registration that made no account.
  virtual void registration_failed(const std::string& network) = 0;

  // Guest entry (GuestEntry) closed for every server: `room_fold` is a
  // room's name under account_name_fold, empty for the whole chat. Opening
  // the whole chat opens every room; open_guests is true when something was
  // closed. close_guests is false when the store could not be asked.
  [[nodiscard]] virtual bool close_guests(const std::string& room_fold) = 0;
  virtual bool open_guests(const std::string& room_fold) = 0;
  // Whether guests are refused from the room (or, with it empty, from the
  // whole chat) by a server's closing.
  virtual bool guests_closed(const std::string& room_fold) = 0;

  // Takes one of the place's turns to post (take_post_turn's rule) for the
  // whole chat: a place whose requests go to each server in turn would
  // otherwise get each server's turns. False when the place is over
  // `burst` lines at once or one per `interval_ms` through all servers.
  virtual bool take_post_turn(unsigned long long place, int burst, int interval_ms) = 0;
};

}  // namespace tvl
