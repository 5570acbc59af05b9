#include "io/checksum.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <vector>

#include "datatypes/integer.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "runtime/sys.h"

namespace kiv::checksum {

namespace {

constexpr struct {
  const char* name;
  Method method;
} method_names[] = {
    {"tcp", tcp_method},       {"md5", md5},       {"sha1", sha1},
    {"crc32", crc32_method},   {"adler32", adler32_method},
    {"sha256", sha256},        {"sha384", sha384}, {"sha512", sha512},
    {"hash", hash},
};

bool same_name(std::string_view a, const char* b) {
  std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != b[i]) return false;
  }
  return true;
}

const EVP_MD* algorithm(i32 index) {
  switch (index) {
    case md5: return EVP_md5();
    case sha1: return EVP_sha1();
    case sha256: return EVP_sha256();
    case sha384: return EVP_sha384();
    case sha512: return EVP_sha512();
    default: return nullptr;
  }
}

struct ContextFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextFree>;

[[noreturn]] void library_failure() { raise_error(ErrorCategory::internal, "no-memory"); }

// One digest over up to two runs of bytes (the HMAC pad and the message).
void digest(const EVP_MD* md, const u8* a, std::size_t na, const u8* b, std::size_t nb, u8* out) {
  Context ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) library_failure();
  if (na && EVP_DigestUpdate(ctx.get(), a, na) != 1) library_failure();
  if (nb && EVP_DigestUpdate(ctx.get(), b, nb) != 1) library_failure();
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out, &n) != 1) library_failure();
}

}  // namespace

Method method_named(std::string_view name) {
  for (const auto& m : method_names)
    if (same_name(name, m.name)) return m.method;
  return unknown;
}

Method method_of(const Cell* word) {
  if (word->type() != type::word && word->type() != type::lit_word) return unknown;
  return method_named(symbol::name(word::symbol_of(word)));
}

std::size_t digest_size(i32 index) {
  switch (index) {
    case md5: return 16;
    case sha1: return 20;
    case sha256: return 32;
    case sha384: return 48;
    case sha512: return 64;
    default: return 0;
  }
}

std::size_t crypto_hash(const u8* bytes, std::size_t length, i32 index, u8* out) {
  const EVP_MD* md = algorithm(index);
  if (!md) {
    Cell arg;
    integer::box(&arg, index);
    raise_error(ErrorCategory::script, "invalid-arg", arg);
  }
  digest(md, bytes, length, nullptr, 0, out);
  return digest_size(index);
}

std::size_t hmac(const u8* message, std::size_t length, const u8* key, std::size_t key_length, i32 index,
                 u8* out) {
  const EVP_MD* md = algorithm(index);
  if (!md) {
    sys::write_line("The selected algorithm doesn't support HMAC calculation");
    return 0;
  }
  std::size_t block = index == sha384 || index == sha512 ? 128 : 64;
  std::size_t size = digest_size(index);
  u8 short_key[max_digest];
  if (key_length > block) {
    digest(md, key, key_length, nullptr, 0, short_key);
    key = short_key;
    key_length = size;
  }
  std::vector<u8> inner_pad(block, 0), outer_pad(block, 0);
  if (key_length) {
    std::memcpy(inner_pad.data(), key, key_length);
    std::memcpy(outer_pad.data(), key, key_length);
  }
  for (std::size_t i = 0; i < block; ++i) {
    inner_pad[i] ^= 0x36;
    outer_pad[i] ^= 0x5C;
  }
  u8 inner[max_digest];
  digest(md, inner_pad.data(), block, message, length, inner);
  digest(md, outer_pad.data(), block, inner, size, out);
  return size;
}

i32 hash_placeholder() {
  sys::write_line("** /hash support not yet implemented; algorithm TBD.");
  return 0;
}

}  // namespace kiv::checksum
