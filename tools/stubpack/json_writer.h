// JSON text for `stubpack inspect --json`: strings quoted with every control character escaped,
// and resource names taken from their UTF-16 units, where a lone surrogate (which no UTF-8 can
// carry) is written as \uXXXX.
#pragma once

#include <cstdint>
#include <string>

namespace stubpack {

// `utf8` as a JSON string, quotes included; its bytes are taken to be UTF-8.
std::string JsonString(const std::string& utf8);
// UTF-16 units as a JSON string: pairs as UTF-8, lone surrogates as \uXXXX.
std::string JsonString16(const std::u16string& units);

}  // namespace stubpack
