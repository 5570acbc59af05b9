// image!: making, positions, pixels as tuples, the data paths, rectangles, text and comparison.
//
// Pixels live in C++ memory behind the image node (image_os.h); they never move, so references to
// a bitmap stay good across allocations for as long as the image value is held where the collector
// sees it (the value stack, for every action below).
#include "datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/dispatch.h"
#include "datatypes/image_os.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/none.h"
#include "datatypes/ownership.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/scalar.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/hooks.h"
#include "runtime/stack.h"

namespace kiv::image {

namespace {

using pixels::Bitmap;

const Bitmap no_pixels;

u32 packed_size(i32 w, i32 h) { return static_cast<u32>(w) | static_cast<u32>(h) << 16; }

[[noreturn]] void invalid_arg(const Cell& value) { raise_error(ErrorCategory::script, "invalid-arg", value); }

Bitmap& writable(Cell* image) { return image_os::pixels_to_write(node_of(image)); }

// The owner of the image (an object field or an owned series) hears of a change.
void notify(Cell* image, const char* word, const Cell* value, i32 index, i32 count) {
  if ((image->header & ownership::image_owned_flag) && hooks::series_notify)
    hooks::series_notify(image, word, value, index, count);
}

// ---- pixels and colours ----

u32 tuple_pixel(const Cell* t) {
  const u8* b = tuple::bytes_of(t);
  const u32 a = tuple::length_of(t) >= 4 ? 255u - b[3] : 255u;
  return pixels::pack(b[0], b[1], b[2], a);
}

// A colour: a tuple, or an integer read as the bytes R, G, B, A from the least significant.
u32 colour_pixel(const Cell* c) {
  if (c->type() == type::tuple) return tuple_pixel(c);
  const u32 v = c->w2;
  return pixels::pack(v & 0xFF, v >> 8 & 0xFF, v >> 16 & 0xFF, 255u - (v >> 24));
}

Cell* push_pixel(u32 p) {
  const u8 bytes[4] = {pixels::red(p), pixels::green(p), pixels::blue(p), static_cast<u8>(255 - pixels::alpha(p))};
  return tuple::push(bytes, 4);
}

// ---- positions ----

struct Position {
  i32 offset;  // clamped to 0 .. width * height
  bool out;    // outside the picture, or no pixel there
};

// The pixel an integer or x-y pair index names from the head: one-based for pick, poke, at and
// paths, zero-based for skip.
Position position(const Cell* image, const Cell* index, bool one_based) {
  const i64 w = width_of(image), h = height_of(image), n = w * h;
  i64 e;
  bool out = false;
  if (index->type() == type::pair) {
    const i64 x = pair::x_of(index), y = pair::y_of(index);
    if (one_based) {
      e = x + w * (y > 0 ? y - 1 : y);
      out = x > w || x <= 0 || y > h || y <= 0;
    } else {
      e = x + w * y;
      out = x >= w || x < 0 || y >= h || y < 0;
    }
  } else {
    e = index->as_int();
  }
  const i64 offset = one_based ? (e <= 0 ? e + 1 : e) + head_of(image) - 1 : e + head_of(image);
  out = out || e == 0 || offset < 0 || offset >= n;
  return {static_cast<i32>(std::clamp<i64>(offset, 0, n)), out};
}

Position position(const Cell* image, i32 index, const Cell* boxed) {
  if (boxed && boxed->type() == type::pair) return position(image, boxed, true);
  Cell n;
  return position(image, integer::box(&n, index), true);
}

// ---- making ----

// Pixels from a colour, or from rgb triples and language alpha bytes; white and opaque where the
// data ends.
Bitmap filled(i32 w, i32 h, const Cell* colour, const std::vector<u8>& rgb, const std::vector<u8>& alpha) {
  Bitmap b;
  if (!b.allocate(w, h)) raise_error(ErrorCategory::internal, "no-memory");
  if (colour) {
    std::fill(b.data.begin(), b.data.end(), tuple_pixel(colour));
    return b;
  }
  const size_t triples = rgb.size() / 3;
  for (size_t i = 0; i < b.data.size(); ++i) {
    const u32 a = i < alpha.size() ? 255u - alpha[i] : 255u;
    b.data[i] = i < triples ? pixels::pack(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], a) : pixels::pack(255, 255, 255, a);
  }
  return b;
}

Cell* push_made(i32 w, i32 h, const Cell* colour, const std::vector<u8>& rgb, const std::vector<u8>& alpha) {
  w = std::max(w, 0);
  h = std::max(h, 0);
  if (!pixels::fits(w, h)) raise_error(ErrorCategory::internal, "no-memory");
  if (!w || !h) {
    Bitmap none;
    none.width = w;
    none.height = h;
    return push(std::move(none));
  }
  return push(filled(w, h, colour, rgb, alpha));
}

Cell* push_copy_of(const Cell* image, i32 x, i32 y, i32 w, i32 h) {
  w = std::max(w, 0);
  h = std::max(h, 0);
  if (!w || !h || !image->w2) {
    Bitmap none;
    none.width = w;
    none.height = h;
    return push(std::move(none));
  }
  return push(pixels::copy_rect(bitmap_of(image), x, y, w, h));
}

// ---- text ----

void hex_byte(std::string& text, u32 b) {
  static constexpr char digits[] = "0123456789ABCDEF";
  text += digits[b >> 4 & 15];
  text += digits[b & 15];
}

// One binary of the mold: the bytes of each pixel from the head, ten pixels a line when
// more than 30 bytes and not flat. False once past the limit.
template <class Bytes>
bool mold_binary(std::string& text, const u32* first, i32 count, bool flat, i32 indent,
                 const Cell* part, i32 limit, Bytes bytes) {
  const bool lines = !flat && count * 3 > 30;
  const std::string pad(static_cast<size_t>(std::max(indent + 1, 0)) * 4, ' ');
  text += " #{";
  for (i32 i = 0; i < count; ++i) {
    if (lines && i % 10 == 0) (text += '\n') += pad;
    bytes(text, first[i]);
    if (part && static_cast<i64>(text.size()) > limit) return false;
  }
  if (lines) (text += '\n').append(static_cast<size_t>(std::max(indent, 0)) * 4, ' ');
  text += '}';
  return true;
}

}  // namespace

// ---- shared entry points ----

Cell* push(Bitmap&& bitmap) {
  Cell* out = stack::push_cell();
  *out = none::value;
  const u32 size = packed_size(bitmap.width, bitmap.height);
  Ref<Node> node = bitmap.data.empty() ? Ref<Node>() : image_os::make_node(std::move(bitmap));
  *out = Cell{type::image, 0, node.offset(), size};
  return out;
}

const Bitmap& bitmap_of(const Cell* image) {
  return image->w2 ? image_os::pixels_to_read(node_of(image)) : no_pixels;
}

Cell* extract_data(const Cell* image, Data kind) {
  const Bitmap& b = bitmap_of(image);
  const size_t n = b.data.size();
  std::vector<u8> bytes;
  switch (kind) {
    case Data::alpha:
      bytes.resize(n);
      for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<u8>(255 - pixels::alpha(b.data[i]));
      break;
    case Data::rgb:
      bytes.resize(3 * n);
      for (size_t i = 0; i < n; ++i) {
        bytes[3 * i] = pixels::red(b.data[i]);
        bytes[3 * i + 1] = pixels::green(b.data[i]);
        bytes[3 * i + 2] = pixels::blue(b.data[i]);
      }
      break;
    case Data::argb:
      bytes.resize(4 * n);
      if (n) std::memcpy(bytes.data(), b.data.data(), 4 * n);
      break;
  }
  return binary::load(bytes.data(), static_cast<i32>(bytes.size()));
}

void set_data(Cell* image, const Cell* value, Data kind) {
  const u32 t = value->type();
  if (t != type::binary && t != type::tuple && t != type::integer) invalid_arg(*value);
  if (image->w2) {
    Bitmap& b = writable(image);
    const size_t n = b.data.size();
    if (t == type::binary) {
      const std::vector<u8> bytes = binary::bytes_of(value);
      switch (kind) {
        case Data::argb: std::memcpy(b.data.data(), bytes.data(), std::min(4 * n, bytes.size())); break;
        case Data::rgb:
          for (size_t i = 0, m = std::min(bytes.size() / 3, n); i < m; ++i)
            b.data[i] = (b.data[i] & 0xFF000000u) | pixels::pack(bytes[3 * i], bytes[3 * i + 1], bytes[3 * i + 2], 0);
          break;
        case Data::alpha:
          for (size_t i = 0, m = std::min(bytes.size(), n); i < m; ++i)
            b.data[i] = (b.data[i] & 0xFFFFFFu) | (255u - bytes[i]) << 24;
          break;
      }
    } else {
      const u32 c = colour_pixel(value);
      switch (kind) {
        case Data::argb: std::fill(b.data.begin(), b.data.end(), c); break;
        case Data::rgb:
          for (u32& p : b.data) p = (p & 0xFF000000u) | (c & 0xFFFFFFu);
          break;
        case Data::alpha: {
          // The value read as an integer, least significant byte first, as for any colour.
          const u32 raw = t == type::integer ? value->w2 : [&] {
            u32 v = 0;
            std::memcpy(&v, tuple::bytes_of(value), 4);
            return v;
          }();
          const u32 a = (255u - raw) & 0xFF;
          for (u32& p : b.data) p = (p & 0xFFFFFFu) | a << 24;
          break;
        }
      }
    }
  }
  notify(image, "change", value, 0, pixel_count(image));
}

// ---- actions ----

Cell* make(Cell* proto, Cell* spec, u32 type) {
  switch (spec->type()) {
    case type::pair: return push_made(pair::x_of(spec), pair::y_of(spec), nullptr, {}, {});
    case type::block: {
      i32 n;
      const Cell* e = scalar::block_cells(spec, n);
      if (n == 0) {
        if (proto->type() == type::image) return copy(proto, stack::push_cell(), nullptr, false, nullptr);
        invalid_arg(*spec);
      }
      if (e[0].type() != type::pair) invalid_arg(*spec);
      const Cell size = e[0];
      Cell colour{type::none, 0, 0, 0};
      std::vector<u8> rgb, alpha;
      if (n > 1) {
        if (e[1].type() == type::binary) rgb = binary::bytes_of(&e[1]);
        else if (e[1].type() == type::tuple) colour = e[1];
        else invalid_arg(e[1]);
      }
      if (n > 2) {
        if (e[2].type() != type::binary) invalid_arg(e[2]);
        alpha = binary::bytes_of(&e[2]);
      }
      return push_made(pair::x_of(&size), pair::y_of(&size), colour.type() == type::tuple ? &colour : nullptr,
                       rgb, alpha);
    }
    default: return to(proto, spec, type);
  }
}

Cell* to(Cell*, Cell* spec, u32) {
  // A face's capture belongs to the GUI backend; without one, a face is refused like anything else.
  if (spec->type() == type::image) return copy(spec, stack::push_cell(), nullptr, false, nullptr);
  scalar::bad_to_arg(type::image, *spec);
}

i32 mold(const Cell* value, Cell* out, bool only, bool, bool flat, const Cell* part, i32 limit, i32 indent) {
  std::string text;
  if (!only) text += "make image! [";
  text += std::to_string(width_of(value)) + "x" + std::to_string(height_of(value));
  if (!value->w2) {
    text += " #{}";
  } else {
    const Bitmap& b = bitmap_of(value);
    const i32 head = std::min(head_of(value), pixel_count(value));
    const u32* first = b.data.data() + head;
    const i32 count = pixel_count(value) - head;
    bool more = mold_binary(text, first, count, flat, indent, part, limit, [](std::string& t, u32 p) {
      hex_byte(t, pixels::red(p));
      hex_byte(t, pixels::green(p));
      hex_byte(t, pixels::blue(p));
    });
    if (more && std::any_of(first, first + count, [](u32 p) { return pixels::alpha(p) < 255; }))
      mold_binary(text, first, count, flat, indent, part, limit,
                  [](std::string& t, u32 p) { hex_byte(t, 255u - pixels::alpha(p)); });
  }
  if (!only) text += ']';
  if (part && limit >= 0 && static_cast<i64>(text.size()) > limit) text.resize(static_cast<size_t>(limit) + 1);
  string::append_bytes(out, text.data(), static_cast<i32>(text.size()));
  return limit - static_cast<i32>(text.size());
}

i32 form(const Cell* value, Cell* out, const Cell* part, i32 limit) {
  return mold(value, out, false, false, false, part, limit, 0);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell*, Cell*, i32, bool, bool, bool, bool) {
  const u32 t = element->type();
  if (t == type::integer || t == type::pair) {
    if (!value) return pick(parent, element->as_int(), element);
    return poke(parent, element->as_int(), value, element);
  }
  const i32 field = scalar::field_named(element, {"size", "alpha", "rgb", "argb"});
  if (!field || (field == 1 && value)) raise_error(ErrorCategory::script, "invalid-path", path ? *path : none::value, *element);
  if (field == 1) return pair::push(width_of(parent), height_of(parent));
  const Data kind = static_cast<Data>(field - 2);
  if (!value) return extract_data(parent, kind);
  set_data(parent, value, kind);
  return value;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  if (b->type() != type::image) return -2;
  if (a->w2 == b->w2 && head_of(a) == head_of(b)) return 0;
  if (op == compare_op::same) return 1;
  if (op >= compare_op::lesser && op <= compare_op::greater_or_equal) return 0;
  const i32 na = pixel_count(a), nb = pixel_count(b);
  if (na != nb) return na < nb ? -1 : 1;
  if (!na) return 0;
  const i32 r = std::memcmp(bitmap_of(a).data.data(), bitmap_of(b).data.data(), static_cast<size_t>(na) * 4);
  return (r > 0) - (r < 0);
}

Cell* pick(Cell* series, i32 index, Cell* boxed) {
  const Position p = position(series, index, boxed);
  if (p.out) return &none::value;
  return push_pixel(bitmap_of(series).data[static_cast<size_t>(p.offset)]);
}

Cell* poke(Cell* series, i32 index, Cell* data, Cell* boxed) {
  const Position p = position(series, index, boxed);
  if (p.out) {
    Cell n;
    raise_error(ErrorCategory::script, "out-of-range", boxed ? *boxed : *integer::box(&n, index));
  }
  if (data->type() != type::tuple) invalid_arg(*data);
  writable(series).data[static_cast<size_t>(p.offset)] = tuple_pixel(data);
  notify(series, "poke", data, p.offset, 1);
  return data;
}

Cell* change(Cell* series, Cell* value, i32 part, bool, i32 dup) {
  if (part >= 0 || dup != 1) raise_error(ErrorCategory::internal, "not-done");
  const i32 w = width_of(series), h = height_of(series), head = head_of(series);
  switch (value->type()) {
    case type::tuple:
      poke(series, 1, value, nullptr);
      series->w1 = static_cast<u32>(head + 1);
      return series;
    case type::image: {
      if (head >= w * h) return series;
      const Bitmap& src = bitmap_of(value);
      const i32 x = head % w, y = head / w;
      const i32 last_x = std::min(x + width_of(value), w) - 1, last_y = std::min(y + height_of(value), h) - 1;
      if (src.data.empty() || last_x < x || last_y < y) return series;
      pixels::blit(src, writable(series), x, y);
      series->w1 = static_cast<u32>(last_y * w + last_x + 1);
      notify(series, "change", value, head, width_of(value) * height_of(value));
      return series;
    }
    default: scalar::invalid_type(*value);
  }
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool, Cell*) {
  const i32 w = width_of(value), h = height_of(value);
  const i32 head = std::min(head_of(value), w * h);
  if (!w || !h) return cell::copy(push_copy_of(value, 0, 0, w, h), result);
  const i32 x = head % w, y = head / w;
  Cell* made;
  if (!part) {
    made = push_copy_of(value, x, y, w - x, h - y);
  } else if (part->type() == type::pair) {
    i32 px = pair::x_of(part), py = pair::y_of(part);
    if (px < 0 && py < 0) {
      // The rectangle that ends at the head.
      const i32 x0 = std::max(x + px, 0), y0 = std::max(y + py, 0);
      made = push_copy_of(value, x0, y0, x - x0, y - y0);
    } else {
      made = push_copy_of(value, x, y, std::min(px, w - x), std::min(py, h - y));
    }
  } else if (part->type() == type::image && part->w2 == value->w2) {
    const i32 other = std::min(head_of(part), w * h);
    const i32 ox = other % w, oy = other / w;
    made = push_copy_of(value, std::min(x, ox), std::min(y, oy), std::abs(ox - x), std::abs(oy - y));
  } else if (part->type() == type::integer) {
    raise_error(ErrorCategory::internal, "not-done");
  } else {
    actions::raise_invalid_refine_arg("part", part);
  }
  return cell::copy(made, result);
}

namespace {

// ---- navigation ----

void at() {
  Cell* s = stack::arguments;
  s->w1 = static_cast<u32>(position(s, s + 1, true).offset);
}

void skip() {
  Cell* s = stack::arguments;
  s->w1 = static_cast<u32>(position(s, s + 1, false).offset);
}

void next() {
  Cell* s = stack::arguments;
  if (head_of(s) < pixel_count(s)) s->w1 += 1;
}

void tail() { stack::arguments->w1 = static_cast<u32>(pixel_count(stack::arguments)); }

void tail_q() { logic::set_result(pixel_count(stack::arguments) < head_of(stack::arguments) + 1); }

i32 length_q(const Cell* series) { return pixel_count(series); }

// Equal images hash alike: the pixel count and the first pixels, never the node.
u32 hash(const Cell* image, bool) {
  u32 words[17] = {static_cast<u32>(pixel_count(image))};
  const Bitmap& b = bitmap_of(image);
  const size_t n = std::min<size_t>(b.data.size(), 16);
  std::copy_n(b.data.begin(), n, words + 1);
  return hashtable::murmur3_32(words, static_cast<i32>((n + 1) * 4));
}

bool image_bytes(const Cell* image, std::vector<u8>& out) {
  const Bitmap& b = bitmap_of(image);
  out.resize(b.data.size() * 4);
  if (!out.empty()) std::memcpy(out.data(), b.data.data(), out.size());
  return true;
}

}  // namespace

void init() {
  action::Entries e;
  e.make = make;
  e.to = to;
  e.form = form;
  e.mold = mold;
  e.eval_path = eval_path;
  e.compare = compare;
  e.at = at;
  e.back = action::inherit;
  e.change = change;
  e.copy = copy;
  e.head = action::inherit;
  e.head_q = action::inherit;
  e.index_q = action::inherit;
  e.length_q = length_q;
  e.next = next;
  e.pick = pick;
  e.poke = poke;
  e.skip = skip;
  e.tail = tail;
  e.tail_q = tail_q;
  e.modify = action::inherit;
  datatype::register_type(type::image, type::series, "image!", e);
  collector::set_mark_procedure(type::image, image_os::mark);
  hashtable::set_hash_procedure(type::image, hash);
  image_os::init();
  hooks::image_bytes = image_bytes;
}

}  // namespace kiv::image
