// Image codecs on a 4000x3000 picture: PNG and JPEG encode and decode, and a nearest-neighbour
// resize to half size, best of three each. Driven by bench/image_bench.py, which runs Pillow over
// the same files in the same run.
//
//   bench-image_bench DIR     writes DIR/bench.png and DIR/bench.jpg, prints "codec op seconds bytes"
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "io/image_codecs.h"

using namespace kiv;
using image_codecs::Format;

namespace {

template <class F>
double best_of_three(F run) {
  double best = 1e300;
  for (int k = 0; k < 3; ++k) {
    auto t = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
  }
  return best;
}

// Something like a photograph: smooth shading with a little grain, opaque.
pixels::Bitmap picture(i32 w, i32 h) {
  pixels::Bitmap b;
  b.allocate(w, h);
  u32 seed = 12345;
  for (i32 y = 0; y < h; ++y) {
    u32* row = b.row(y);
    for (i32 x = 0; x < w; ++x) {
      seed = seed * 1103515245 + 12345;
      const i32 grain = static_cast<i32>(seed >> 28) - 8;
      auto c = [&](double v) { return static_cast<u32>(std::clamp(static_cast<i32>(v) + grain, 0, 255)); };
      row[x] = pixels::pack(c(128 + 100 * std::sin(x / 300.0)), c(128 + 100 * std::cos(y / 200.0)),
                            c(255.0 * (x + y) / (w + h)), 255);
    }
  }
  return b;
}

void write_file(const std::string& path, const std::vector<u8>& bytes) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : ".";
  const pixels::Bitmap source = picture(4000, 3000);
  for (auto [format, name] : {std::pair{Format::png, "png"}, std::pair{Format::jpeg, "jpeg"}}) {
    std::vector<u8> bytes;
    const double encode = best_of_three([&] { image_codecs::encode(format, source, bytes); });
    pixels::Bitmap back;
    const double decode = best_of_three([&] { image_codecs::decode(format, bytes.data(), bytes.size(), back); });
    write_file(dir + "/bench." + (format == Format::png ? "png" : "jpg"), bytes);
    std::printf("%s encode %.4f %zu\n", name, encode, bytes.size());
    std::printf("%s decode %.4f %zu\n", name, decode, bytes.size());
  }
  pixels::Bitmap half;
  const double resize = best_of_three([&] { half = pixels::resize_nearest(source, 2000, 1500); });
  std::printf("nearest resize %.4f %zu\n", resize, half.data.size() * 4);
  return 0;
}
