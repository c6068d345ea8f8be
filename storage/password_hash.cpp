#include "storage/password_hash.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "platform/random.h"

namespace tvl {

namespace {

const char kScheme[] = "scrypt";

// Bounds on what a stored form may ask for, so that a hand-edited file
// cannot make every login take seconds or gigabytes.
constexpr unsigned long long kMaxN = 1ULL << 20;
constexpr unsigned long long kMaxR = 32;
constexpr unsigned long long kMaxP = 16;
constexpr unsigned long long kMaxMemory = 256ULL * 1024 * 1024;

std::string to_hex(const unsigned char* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

bool from_hex(const std::string& text, std::vector<unsigned char>& out) {
  if (text.empty() || text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int v = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = text[i + k];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    out.push_back(static_cast<unsigned char>(v));
  }
  return true;
}

bool parse_number(const std::string& text, unsigned long long& out) {
  if (text.empty() || text.size() > 12) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<unsigned long long>(c - '0');
  }
  return true;
}

std::atomic<unsigned long long> derivations{0};

bool derive(const std::string& password, const unsigned char* salt, std::size_t salt_size,
            unsigned long long n, unsigned long long r, unsigned long long p, unsigned char* out,
            std::size_t out_size) {
  derivations.fetch_add(1, std::memory_order_relaxed);
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "SCRYPT", nullptr);
  if (!kdf) return false;
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
  EVP_KDF_free(kdf);
  if (!ctx) return false;
  uint64_t n64 = n;
  uint32_t r32 = static_cast<uint32_t>(r), p32 = static_cast<uint32_t>(p);
  uint64_t maxmem = kMaxMemory;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD,
                                        const_cast<char*>(password.data()), password.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt),
                                        salt_size),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n64),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r32),
      OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p32),
      OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxmem),
      OSSL_PARAM_construct_end()};
  const bool ok = EVP_KDF_derive(ctx, out, out_size, params) == 1;
  EVP_KDF_CTX_free(ctx);
  return ok;
}

// Splits "a$b$c" at "$".
std::vector<std::string> fields_of(const std::string& stored) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (true) {
    const std::size_t at = stored.find('$', from);
    parts.push_back(stored.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return parts;
    from = at + 1;
  }
}

bool same_bytes(const void* a, const void* b, std::size_t size) {
  return CRYPTO_memcmp(a, b, size) == 0;
}

}  // namespace

bool hash_password(const std::string& password, std::string& stored) {
  unsigned char salt[kPasswordSaltBytes];
  if (!random_bytes(salt, sizeof salt)) return false;
  unsigned char hash[kPasswordHashBytes];
  if (!derive(password, salt, sizeof salt, kScryptN, kScryptR, kScryptP, hash, sizeof hash))
    return false;
  stored = std::string(kScheme) + "$" + std::to_string(kScryptN) + "$" + std::to_string(kScryptR) +
           "$" + std::to_string(kScryptP) + "$" + to_hex(salt, sizeof salt) + "$" +
           to_hex(hash, sizeof hash);
  return true;
}

unsigned long long password_derivations() { return derivations.load(std::memory_order_relaxed); }

bool password_is_hashed(const std::string& stored) {
  return stored.rfind(std::string(kScheme) + "$", 0) == 0;
}

void spend_password_check(const std::string& password) {
  static const unsigned char kSalt[kPasswordSaltBytes] = {};
  unsigned char hash[kPasswordHashBytes];
  (void)derive(password, kSalt, sizeof kSalt, kScryptN, kScryptR, kScryptP, hash, sizeof hash);  // only its time counts
}

bool password_matches(const std::string& stored, const std::string& password) {
  if (!password_is_hashed(stored)) {
    return stored.size() == password.size() &&
           same_bytes(stored.data(), password.data(), stored.size());
  }
  const std::vector<std::string> f = fields_of(stored);
  if (f.size() != 6) return false;
  unsigned long long n = 0, r = 0, p = 0;
  if (!parse_number(f[1], n) || !parse_number(f[2], r) || !parse_number(f[3], p)) return false;
  if (n < 2 || n > kMaxN || (n & (n - 1)) != 0 || r < 1 || r > kMaxR || p < 1 || p > kMaxP)
    return false;
  if (128ULL * r * n * p > kMaxMemory) return false;
  std::vector<unsigned char> salt, expected;
  if (!from_hex(f[4], salt) || !from_hex(f[5], expected) || expected.size() > 64) return false;
  std::vector<unsigned char> got(expected.size());
  if (!derive(password, salt.data(), salt.size(), n, r, p, got.data(), got.size())) return false;
  return same_bytes(got.data(), expected.data(), got.size());
}

}  // namespace tvl
