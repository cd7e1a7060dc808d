// The installer's icon, drawn from shapes: a rounded blue tile with a white arrow going down
// into a tray. The build runs this program and packs what it writes, so the ten images come
// from this source alone and are the same on every machine with the same zlib.
//
//   draw-icon OUTPUT.ico
//
// The images, in order: 48, 32 and 16 pixels with 16 colours, the same with 256 colours, one
// of 256 pixels as PNG, then 48, 32 and 16 pixels with 32 bits per pixel.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <zlib.h>

namespace {

struct Rgba {
  double r, g, b, a;  // 0..1, not premultiplied
};

struct Point {
  double x, y;
};

bool InRoundedSquare(double x, double y) {
  const double lo = 0.06, hi = 0.94, radius = 0.18;
  if (x < lo || x > hi || y < lo || y > hi) return false;
  const double cx = std::fmin(std::fmax(x, lo + radius), hi - radius);
  const double cy = std::fmin(std::fmax(y, lo + radius), hi - radius);
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
}

bool InTriangle(double x, double y, Point a, Point b, Point c) {
  auto side = [&](Point p, Point q) { return (q.x - p.x) * (y - p.y) - (q.y - p.y) * (x - p.x); };
  const double d1 = side(a, b), d2 = side(b, c), d3 = side(c, a);
  return (d1 >= 0 && d2 >= 0 && d3 >= 0) || (d1 <= 0 && d2 <= 0 && d3 <= 0);
}

bool InBox(double x, double y, double x0, double y0, double x1, double y1) {
  return x >= x0 && x <= x1 && y >= y0 && y <= y1;
}

bool InGlyph(double x, double y) {
  return InBox(x, y, 0.42, 0.16, 0.58, 0.50) ||
         InTriangle(x, y, {0.26, 0.46}, {0.74, 0.46}, {0.50, 0.70}) ||
         InBox(x, y, 0.20, 0.76, 0.80, 0.84) || InBox(x, y, 0.20, 0.60, 0.28, 0.84) ||
         InBox(x, y, 0.72, 0.60, 0.80, 0.84);
}

// The icon at `size` pixels, rows top-down, by 4x4 supersampling of each pixel.
std::vector<Rgba> Draw(int size) {
  std::vector<Rgba> pixels;
  const int samples = 4;
  for (int row = 0; row < size; ++row) {
    for (int column = 0; column < size; ++column) {
      double tile = 0, glyph = 0;
      for (int sy = 0; sy < samples; ++sy) {
        for (int sx = 0; sx < samples; ++sx) {
          const double x = (column + (sx + 0.5) / samples) / size;
          const double y = (row + (sy + 0.5) / samples) / size;
          if (InRoundedSquare(x, y)) {
            tile += 1;
            if (InGlyph(x, y)) glyph += 1;
          }
        }
      }
      const double n = samples * samples;
      const double t = (row + 0.5) / size;  // a gradient from top to bottom
      Rgba blue = {0.18 - 0.07 * t, 0.50 - 0.19 * t, 0.93 - 0.27 * t, 1};
      Rgba p = {0, 0, 0, tile / n};
      if (tile > 0) {
        const double white = glyph / tile;
        p.r = blue.r + (1 - blue.r) * white;
        p.g = blue.g + (1 - blue.g) * white;
        p.b = blue.b + (1 - blue.b) * white;
      }
      pixels.push_back(p);
    }
  }
  return pixels;
}

uint8_t Byte(double v) {
  return static_cast<uint8_t>(std::lround(std::fmin(std::fmax(v, 0), 1) * 255));
}

void PutU16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(v & 0xFF);
  out.push_back((v >> 8) & 0xFF);
}
void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}
void PutU32BigEndian(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((v >> shift) & 0xFF);
}

struct Colour {
  uint8_t r, g, b;
};

std::vector<Colour> Palette(int bits) {
  std::vector<Colour> palette;
  if (bits == 4) {
    // The sixteen colours every display can show.
    const uint32_t table[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    for (uint32_t c : table) palette.push_back({uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
    return palette;
  }
  // A 6x6x6 colour cube and 40 greys.
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b)
        palette.push_back({uint8_t(r * 51), uint8_t(g * 51), uint8_t(b * 51)});
  for (int i = 0; i < 40; ++i) {
    const uint8_t v = static_cast<uint8_t>((i * 255 + 19) / 39);
    palette.push_back({v, v, v});
  }
  return palette;
}

int Nearest(const std::vector<Colour>& palette, uint8_t r, uint8_t g, uint8_t b) {
  int best = 0;
  long best_distance = -1;
  for (size_t i = 0; i < palette.size(); ++i) {
    const long dr = palette[i].r - r, dg = palette[i].g - g, db = palette[i].b - b;
    const long distance = dr * dr + dg * dg + db * db;
    if (best_distance < 0 || distance < best_distance) {
      best = static_cast<int>(i);
      best_distance = distance;
    }
  }
  return best;
}

// A device-independent bitmap as icons store it: header with twice the height, palette, colour
// rows bottom-up, then the transparency mask, each row padded to 4 bytes.
std::vector<uint8_t> Bitmap(int size, int bits) {
  const std::vector<Rgba> pixels = Draw(size);
  const std::vector<Colour> palette = bits == 32 ? std::vector<Colour>() : Palette(bits);
  const int colour_row = ((size * bits + 31) / 32) * 4;
  const int mask_row = ((size + 31) / 32) * 4;
  std::vector<uint8_t> out;
  PutU32(out, 40);
  PutU32(out, size);
  PutU32(out, size * 2);
  PutU16(out, 1);
  PutU16(out, bits);
  PutU32(out, 0);                               // no compression
  PutU32(out, (colour_row + mask_row) * size);  // image bytes
  PutU32(out, 0);
  PutU32(out, 0);
  PutU32(out, 0);
  PutU32(out, 0);
  for (const Colour& c : palette) {
    out.push_back(c.b);
    out.push_back(c.g);
    out.push_back(c.r);
    out.push_back(0);
  }
  for (int row = size - 1; row >= 0; --row) {
    std::vector<uint8_t> line(colour_row, 0);
    for (int column = 0; column < size; ++column) {
      const Rgba& p = pixels[row * size + column];
      if (bits == 32) {
        line[column * 4 + 0] = Byte(p.b);
        line[column * 4 + 1] = Byte(p.g);
        line[column * 4 + 2] = Byte(p.r);
        line[column * 4 + 3] = Byte(p.a);
        continue;
      }
      const int index = p.a < 0.5 ? 0 : Nearest(palette, Byte(p.r), Byte(p.g), Byte(p.b));
      if (bits == 8) {
        line[column] = static_cast<uint8_t>(index);
      } else {
        line[column / 2] |= static_cast<uint8_t>(column % 2 == 0 ? index << 4 : index);
      }
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  for (int row = size - 1; row >= 0; --row) {
    std::vector<uint8_t> line(mask_row, 0);
    for (int column = 0; column < size; ++column) {
      if (pixels[row * size + column].a < 0.5) line[column / 8] |= 0x80 >> (column % 8);
    }
    out.insert(out.end(), line.begin(), line.end());
  }
  return out;
}

void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  PutU32BigEndian(out, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  PutU32BigEndian(out,
                  static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

std::vector<uint8_t> Png(int size) {
  const std::vector<Rgba> pixels = Draw(size);
  std::vector<uint8_t> raw;
  for (int row = 0; row < size; ++row) {
    raw.push_back(0);  // filter: none
    for (int column = 0; column < size; ++column) {
      const Rgba& p = pixels[row * size + column];
      raw.push_back(Byte(p.r));
      raw.push_back(Byte(p.g));
      raw.push_back(Byte(p.b));
      raw.push_back(Byte(p.a));
    }
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packed_size);
  if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK)
    return {};
  packed.resize(packed_size);

  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  PutU32BigEndian(header, size);
  PutU32BigEndian(header, size);
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits per channel, RGBA, no interlace
  PutChunk(out, "IHDR", header);
  PutChunk(out, "IDAT", packed);
  PutChunk(out, "IEND", {});
  return out;
}

struct Image {
  int size;
  int bits;
  std::vector<uint8_t> bytes;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw-icon OUTPUT.ico\n");
    return 2;
  }
  std::vector<Image> images;
  for (int bits : {4, 8}) {
    for (int size : {48, 32, 16}) images.push_back({size, bits, Bitmap(size, bits)});
  }
  images.push_back({256, 32, Png(256)});
  for (int size : {48, 32, 16}) images.push_back({size, 32, Bitmap(size, 32)});

  std::vector<uint8_t> file;
  PutU16(file, 0);
  PutU16(file, 1);  // an icon
  PutU16(file, static_cast<uint32_t>(images.size()));
  uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
  for (const Image& image : images) {
    if (image.bytes.empty()) {
      std::fprintf(stderr, "draw-icon: compressing the %d-pixel image failed\n", image.size);
      return 1;
    }
    file.push_back(static_cast<uint8_t>(image.size == 256 ? 0 : image.size));
    file.push_back(static_cast<uint8_t>(image.size == 256 ? 0 : image.size));
    file.push_back(static_cast<uint8_t>(image.bits == 4 ? 16 : 0));
    file.push_back(0);
    PutU16(file, 1);
    PutU16(file, image.bits);
    PutU32(file, static_cast<uint32_t>(image.bytes.size()));
    PutU32(file, offset);
    offset += static_cast<uint32_t>(image.bytes.size());
  }
  for (const Image& image : images) file.insert(file.end(), image.bytes.begin(), image.bytes.end());

  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
      std::fclose(out) != 0) {
    std::fprintf(stderr, "draw-icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
