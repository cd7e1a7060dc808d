#include "tools/stubpack/sha256.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define STUBPACK_SHA_EXTENSIONS 1
#endif

namespace stubpack {

namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void PortableBlocks(uint32_t* state, const uint8_t* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = uint32_t{data[4 * i]} << 24 | uint32_t{data[4 * i + 1]} << 16 |
             uint32_t{data[4 * i + 2]} << 8 | data[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                          ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      const uint32_t t2 =
          (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
  }
}

#ifdef STUBPACK_SHA_EXTENSIONS
// The processor's SHA instructions, five to ten times the portable rounds: an installer of a few
// GiB is hashed once more after it is written, as its checksum is patched in last.
__attribute__((target("sha,sse4.1"))) void ExtensionBlocks(uint32_t* state, const uint8_t* data,
                                                           size_t blocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
  state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abef = state0, cdgh = state1;
    __m128i msg[4];
    for (int i = 0; i < 4; ++i)
      msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                                byte_swap);
    for (int i = 0; i < 16; ++i) {
      __m128i m = _mm_add_epi32(msg[i % 4],
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * i])));
      state1 = _mm_sha256rnds2_epu32(state1, state0, m);
      m = _mm_shuffle_epi32(m, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, m);
      if (i < 12) {
        // The schedule's next four words from the last sixteen.
        __m128i next = _mm_sha256msg1_epu32(msg[i % 4], msg[(i + 1) % 4]);
        next = _mm_add_epi32(next, _mm_alignr_epi8(msg[(i + 3) % 4], msg[(i + 2) % 4], 4));
        msg[i % 4] = _mm_sha256msg2_epu32(next, msg[(i + 3) % 4]);
      }
    }
    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
  }
  tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // ABEF
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}
#endif

bool g_force_portable = false;

void Blocks(uint32_t* state, const uint8_t* data, size_t blocks) {
#ifdef STUBPACK_SHA_EXTENSIONS
  static const bool has_extensions =
      __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
  if (has_extensions && !g_force_portable) {
    ExtensionBlocks(state, data, blocks);
    return;
  }
#endif
  PortableBlocks(state, data, blocks);
}

}  // namespace

bool Sha256HasExtensions() {
#ifdef STUBPACK_SHA_EXTENSIONS
  return __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
#else
  return false;
#endif
}

void Sha256ForcePortable(bool force) { g_force_portable = force; }

void Sha256Add(Sha256& hash, const uint8_t* data, size_t size) {
  hash.length += size;
  if (hash.used > 0) {
    const size_t take = std::min(size, sizeof(hash.block) - hash.used);
    std::memcpy(hash.block + hash.used, data, take);
    hash.used += take;
    data += take;
    size -= take;
    if (hash.used < sizeof(hash.block)) return;
    Blocks(hash.state, hash.block, 1);
    hash.used = 0;
  }
  Blocks(hash.state, data, size / 64);
  data += size / 64 * 64;
  size %= 64;
  std::memcpy(hash.block, data, size);
  hash.used = size;
}

std::array<uint8_t, 32> Sha256Finish(Sha256& hash) {
  const uint64_t bits = hash.length * 8;
  uint8_t tail[72] = {0x80};
  const size_t pad = (hash.used < 56 ? 56 : 120) - hash.used;
  for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Sha256Add(hash, tail, pad + 8);
  std::array<uint8_t, 32> digest;
  for (int i = 0; i < 32; ++i)
    digest[i] = static_cast<uint8_t>(hash.state[i / 4] >> (24 - 8 * (i % 4)));
  return digest;
}

std::string HexDigest(const std::array<uint8_t, 32>& digest) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : digest) text += {kHex[b >> 4], kHex[b & 15]};
  return text;
}

std::string Sha256Hex(const uint8_t* data, size_t size) {
  Sha256 hash;
  Sha256Add(hash, data, size);
  return HexDigest(Sha256Finish(hash));
}

}  // namespace stubpack
