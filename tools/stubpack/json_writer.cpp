#include "tools/stubpack/json_writer.h"

#include <cstdio>

namespace stubpack {

namespace {

std::string Escape(uint32_t unit) {
  char text[8];
  std::snprintf(text, sizeof(text), "\\u%04x", static_cast<unsigned>(unit));
  return text;
}

// A character below 0x80 as JSON writes it inside a string.
void PutAscii(std::string& out, char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
        out += Escape(static_cast<unsigned char>(c));
      } else {
        out += c;
      }
  }
}

void PutCodePoint(std::string& out, uint32_t c) {
  if (c < 0x80) {
    PutAscii(out, static_cast<char>(c));
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string JsonString(const std::string& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    if (static_cast<unsigned char>(c) < 0x80) {
      PutAscii(out, c);
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonString16(const std::u16string& units) {
  std::string out = "\"";
  for (size_t i = 0; i < units.size(); ++i) {
    const uint32_t u = units[i];
    const bool high = u >= 0xD800 && u < 0xDC00, low = u >= 0xDC00 && u < 0xE000;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      PutCodePoint(out, 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00u));
      ++i;
    } else if (high || low) {
      out += Escape(u);
    } else {
      PutCodePoint(out, u);
    }
  }
  return out + "\"";
}

}  // namespace stubpack
