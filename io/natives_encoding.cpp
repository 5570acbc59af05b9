// The natives of byte encodings and digests: enbase, debase, checksum, compress and decompress.
#include <algorithm>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/dispatch.h"
#include "datatypes/file.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"
#include "io/checksum.h"
#include "io/deflate.h"
#include "runtime/roots.h"

namespace kiv::natives {

using namespace detail;

namespace {

constexpr i64 max_bytes = 0x7FFFFFF0;

[[noreturn]] void invalid_arg(const Cell& v) { raise_error(ErrorCategory::script, "invalid-arg", v); }

// The base of /base (64 when absent); one of 2, 16, 58 and 64, else invalid-arg with it.
i32 base_of(i32 base_pos) {
  if (base_pos < 0) return 64;
  const Cell* b = stack::arguments + base_pos;
  i32 base = b->as_int();
  if (base != 2 && base != 16 && base != 58 && base != 64) invalid_arg(*b);
  return base;
}

// The bytes of a text or binary argument: a binary is used in place (valid until the next
// allocation), a text is copied out as UTF-8 into `store`.
struct Bytes {
  std::vector<u8> store;
  const u8* data = nullptr;
  std::size_t size = 0;
};

void bytes_of(const Cell* v, Bytes& out) {
  if (v->type() == type::binary) {
    out.data = reinterpret_cast<const u8*>(binary::head_pointer(v));
    out.size = static_cast<std::size_t>(binary::length_of(v));
    return;
  }
  std::string utf8 = string::to_utf8(v);
  out.store.assign(utf8.begin(), utf8.end());
  out.data = out.store.data();
  out.size = out.store.size();
}

// A binary argument's bytes re-read after an allocation (the buffer may have moved).
const u8* head_of(const Cell* binary_cell) { return reinterpret_cast<const u8*>(binary::head_pointer(binary_cell)); }

enum class Codec { unknown, zlib, deflate, gzip };

Codec codec_of(const Cell* word) {
  if (word->type() != type::word && word->type() != type::lit_word) return Codec::unknown;
  std::string_view name = symbol::name(word::symbol_of(word));
  std::string lower(name);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  if (lower == "zlib") return Codec::zlib;
  if (lower == "deflate") return Codec::deflate;
  if (lower == "gzip") return Codec::gzip;
  return Codec::unknown;
}

using CodecFn = int (*)(u8* out, u32& size, const u8* in, u32 length);

// Runs a codec from the bytes of `source` (a binary cell, re-read after each allocation, or the
// bytes in `fixed` when it is not null) into a new binary at the arguments base. The output starts
// at `capacity` bytes; when the codec asks for more the call is repeated once with what it asks.
Exit run_codec(CodecFn fn, const Cell* source, const std::vector<u8>* fixed, u32 capacity) {
  Cell out{type::unset, 0, 0, 0};
  RootCell keep(out);
  auto input = [&](const u8*& p, u32& n) {
    if (fixed) {
      p = fixed->data();
      n = static_cast<u32>(fixed->size());
    } else {
      p = head_of(source);
      n = static_cast<u32>(binary::length_of(source));
    }
  };
  for (int attempt = 0; attempt < 2; ++attempt) {
    binary::make_at(&out, static_cast<i32>(capacity));
    const u8* in;
    u32 n;
    input(in, n);
    SeriesBuffer* b = binary::buffer_of(&out);
    u32 size = b->size;
    int r = fn(reinterpret_cast<u8*>(b->head_ptr()), size, in, n);
    if (r == deflate::ok) {
      b->tail = b->head + size;
      return result(out);
    }
    if (r != deflate::too_small) raise_error(ErrorCategory::script, "invalid-data", *source);
    if (size > max_bytes) raise_error(ErrorCategory::internal, "no-memory");
    capacity = size;
  }
  raise_error(ErrorCategory::script, "invalid-data", *source);
}

// The procedure of the method word: one of the three given, in the order zlib, deflate, gzip.
CodecFn codec_fn(const Cell* method, CodecFn for_zlib, CodecFn for_deflate, CodecFn for_gzip) {
  const Codec codec = codec_of(method);
  if (codec == Codec::unknown) invalid_arg(*method);
  return codec == Codec::zlib ? for_zlib : codec == Codec::deflate ? for_deflate : for_gzip;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// enbase, debase
// ---------------------------------------------------------------------------------------------

Exit enbase(bool check, i32 base_pos) {
  if (check) {
    check_args({bit(type::binary) | bit(type::string)});
    check_arg_at(base_pos, bit(type::integer));
  }
  i32 base = base_of(base_pos);
  Cell* value = stack::arguments;
  Bytes in;
  bytes_of(value, in);
  i64 size = binary::encoded_size(base, static_cast<i64>(in.size));
  if (size < 0) raise_error(ErrorCategory::script, "too-long");
  // The text is made outside the run-time's memory first: making the string may move the binary.
  std::vector<u8> copy;
  if (in.store.empty() && in.size) {
    copy.assign(in.data, in.data + in.size);
    in.data = copy.data();
  }
  std::string text(static_cast<std::size_t>(size), '\0');
  char* end;
  switch (base) {
    case 2: end = binary::encode_2(text.data(), in.data, static_cast<i32>(in.size)); break;
    case 16: end = binary::encode_16(text.data(), in.data, static_cast<i32>(in.size)); break;
    case 58: end = binary::encode_58(text.data(), in.data, static_cast<i32>(in.size)); break;
    default: end = binary::encode_64(text.data(), in.data, static_cast<i32>(in.size)); break;
  }
  text.resize(static_cast<std::size_t>(end - text.data()));
  Cell* out = stack::push_cell();
  string::make_at(out, static_cast<i32>(text.size()));
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return result(*out);
}

Exit debase(bool check, i32 base_pos) {
  if (check) {
    check_args({bit(type::string)});
    check_arg_at(base_pos, bit(type::integer));
  }
  i32 base = base_of(base_pos);
  Cell* value = stack::arguments;
  i32 length = string::length(value);
  SeriesBuffer* b = string::buffer_of(value);
  u32 unit = b->unit();
  // Copied out: making the binary may move the text.
  const std::byte* start = b->head_ptr() + (static_cast<std::size_t>(std::max(string::head_index(value), 0)) * unit);
  std::vector<std::byte> text(start, start + static_cast<std::size_t>(length) * unit);
  Cell* out = binary::decode(base, text.data(), length, unit);
  if (!out) return result_none();
  return result(*out);
}

// ---------------------------------------------------------------------------------------------
// checksum
// ---------------------------------------------------------------------------------------------

Exit checksum(bool check, i32 with_pos) {
  if (check) {
    check_args({bit(type::binary) | bit(type::string) | bit(type::file), bit(type::word)});
    check_arg_at(with_pos, any_string | bit(type::binary) | bit(type::integer));
  }
  Cell* data = stack::arguments;
  Cell* method_word = data + 1;
  // 1. The data's bytes: a file is read whole first.
  Cell* source = data;
  if (data->type() == type::file) {
    source = file::read(data, nullptr, nullptr, true, false, false, nullptr);
    if (source->type() != type::binary) invalid_arg(*data);
  } else if (data->type() != type::binary && data->type() != type::string) {
    invalid_arg(*data);
  }
  // 2. The method, before anything is computed: an unknown one is an error the script can catch.
  checksum::Method method = checksum::method_of(method_word);
  if (method == checksum::unknown) invalid_arg(*method_word);
  bool integer_method = method == checksum::crc32_method || method == checksum::tcp_method ||
                        method == checksum::adler32_method;
  const Cell* with = with_pos >= 0 ? stack::arguments + with_pos : nullptr;
  if (with && integer_method) actions::raise_invalid_refine_arg("with", with);
  if (!with && method == checksum::hash) actions::raise_invalid_refine_arg("with", method_word);
  if (with && with->type() == type::integer) {
    Cell r;
    integer::box(&r, checksum::hash_placeholder());
    return result(r);
  }
  if (with && method == checksum::hash) actions::raise_invalid_refine_arg("with", with);
  // A key is text or bytes: a file!, url! or other string type is no key.
  if (with && with->type() != type::binary && with->type() != type::string) invalid_arg(*with);

  Bytes in;
  bytes_of(source, in);
  if (integer_method) {
    u32 sum = method == checksum::crc32_method ? checksum::crc32(in.data, in.size)
              : method == checksum::adler32_method ? checksum::adler32(in.data, in.size)
                                                   : checksum::tcp(in.data, in.size);
    Cell r;
    integer::box(&r, static_cast<i32>(sum));
    return result(r);
  }
  u8 digest[checksum::max_digest];
  std::size_t n;
  if (with) {
    Bytes key;
    bytes_of(with, key);
    n = checksum::hmac(in.data, in.size, key.data, key.size, method, digest);
    if (n == 0) return result_none();
  } else {
    n = checksum::crypto_hash(in.data, in.size, method, digest);
  }
  Cell* out = binary::load(digest, static_cast<i32>(n));
  return result(*out);
}

// ---------------------------------------------------------------------------------------------
// compress, decompress
// ---------------------------------------------------------------------------------------------

Exit compress(bool check) {
  if (check) check_args({any_string | bit(type::binary), bit(type::word)});
  Cell* data = stack::arguments;
  CodecFn fn = codec_fn(data + 1, deflate::zlib_compress, deflate::compress, deflate::gzip);
  std::vector<u8> text;
  bool is_text = data->type() != type::binary;
  if (is_text) {
    std::string utf8 = string::to_utf8(data);
    text.assign(utf8.begin(), utf8.end());
  }
  i64 length = is_text ? static_cast<i64>(text.size()) : binary::length_of(data);
  // Stored blocks cost 5 bytes per 65,535, plus the framing: this is nearly always enough at once.
  i64 capacity = std::min<i64>(length + length / 1000 + 64, max_bytes);
  return run_codec(fn, data, is_text ? &text : nullptr, static_cast<u32>(capacity));
}

Exit decompress(bool check, i32 size_pos) {
  if (check) {
    check_args({bit(type::binary), bit(type::word)});
    check_arg_at(size_pos, bit(type::integer));
  }
  Cell* data = stack::arguments;
  CodecFn fn = codec_fn(data + 1, deflate::zlib_uncompress, deflate::inflate, deflate::gunzip);
  i64 length = binary::length_of(data);
  i64 capacity;
  if (size_pos >= 0) {
    const Cell* sz = stack::arguments + size_pos;
    if (sz->as_int() < 0) invalid_arg(*sz);
    capacity = sz->as_int();
  } else if (fn == deflate::gunzip && length >= 18) {
    // gzip records the length (modulo 2^32) in its last four bytes. The data cannot expand more
    // than DEFLATE's 1032 to 1, so a forged length does not make a huge buffer up front.
    const u8* p = head_of(data) + length - 4;
    capacity = u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24;
    capacity = std::min(capacity, length * 1032 + 64);
  } else {
    capacity = length * 4 + 64;
  }
  capacity = std::min(capacity, max_bytes);
  return run_codec(fn, data, nullptr, static_cast<u32>(capacity));
}

}  // namespace kiv::natives
