// Stored passwords: a salted, deliberately slow hash (scrypt, from OpenSSL's
// key-derivation functions), so that an account file that leaks does not
// give the password away.
//
// Stored form, one line, self-describing so that the cost can be raised
// later without breaking the accounts written before:
//   scrypt$<N>$<r>$<p>$<salt>$<hash>
//   N, r, p  decimal scrypt parameters (N a power of two)
//   salt     kPasswordSaltBytes random bytes, lower-case hex
//   hash     kPasswordHashBytes of scrypt output, lower-case hex
// Any other stored text is a password kept in clear by an older version; it
// still matches (exact comparison) and is replaced by the hashed form at the
// member's next successful login.
// Thread safety: pure functions apart from the random salt; any thread.
#pragma once
#include <cstddef>
#include <string>

namespace tvl {

constexpr std::size_t kPasswordSaltBytes = 16;
constexpr std::size_t kPasswordHashBytes = 32;
// About 16 MiB of memory and some tens of milliseconds per check: slow for a
// guesser with a copy of the file, quick enough for a login.
constexpr unsigned long long kScryptN = 16384;
constexpr unsigned kScryptR = 8;
constexpr unsigned kScryptP = 1;

// The stored form of a new password. False when the random source or the
// key derivation failed; `stored` is then untouched and nothing may be
// written.
[[nodiscard]] bool hash_password(const std::string& password, std::string& stored);

// Whether `stored` is in the hashed form above (else it is clear text).
bool password_is_hashed(const std::string& stored);

// Whether `password` is the one `stored` stands for: the hash recomputed with
// the stored parameters and salt (a stored form that does not parse, or asks
// for absurd parameters, matches nothing), or for clear text an exact
// comparison. An empty stored text matches only the empty password.
// Comparisons take the same time whatever part of them differs.
bool password_matches(const std::string& stored, const std::string& password);

// Spends the time of one check of a password against a stored hash of the
// current parameters, and matches nothing: a wrong password for a name
// without an account costs what it costs for a member.
void spend_password_check(const std::string& password);

// How many key derivations this process has run (one per password checked
// against a hash, spent or hashed for storing), so that a test can see what
// a check costs without timing it.
unsigned long long password_derivations();

}  // namespace tvl
