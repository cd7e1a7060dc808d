// The bounded text operations against a model over std::u16string. Every buffer is allocated
// with exactly the units an operation may touch, so a read or write one unit too far is an
// AddressSanitizer report, and every unit the operation may not change is compared afterwards.
#include <memory>

#include <string.h>

#include <vector>

#include "core/fill_bytes.h"
#include "core/fixed_wide_buffer.h"
#include "core/payload_layout.h"
#include "strings/bounded_text.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using payload_layout::HasPrefixAsciiNoCase;

constexpr char16_t kUntouched = 0xBEEF;

std::u16string Units(FuzzInput& in, size_t count) {
  std::u16string out;
  for (size_t i = 0; i < count; ++i) out += InterestingUnit(in);
  return out;
}

// A heap block of exactly these units: nothing beyond it may be read.
std::unique_ptr<char16_t[]> Exact(const std::u16string& units) {
  std::unique_ptr<char16_t[]> block(new char16_t[units.size()]);
  if (!units.empty()) memcpy(block.get(), units.data(), units.size() * sizeof(char16_t));
  return block;
}

std::u16string Read(const char16_t* units, size_t count) { return std::u16string(units, count); }

// The text up to its first NUL.
std::u16string Terminated(const std::u16string& units) {
  return units.substr(0, units.find(u'\0'));
}

size_t ModelLength(const std::u16string& units, size_t capacity, bool null) {
  if (null || capacity < 2) return 0;
  for (size_t i = 0; i + 1 < capacity; ++i) {
    if (units[i] == 0) return i;
  }
  return capacity - 1;
}

// A source that holds the text and its terminator, or, when it is capacity units long or
// longer and cut is asked for, only the units the operation may read.
std::u16string Source(FuzzInput& in, size_t reach, bool& cut) {
  const std::u16string text = Terminated(Units(in, in.Byte() % 96));
  cut = text.size() >= reach && (in.Byte() & 1);
  return cut ? text.substr(0, reach) : text + u'\0';
}

void CheckLength(FuzzInput& in) {
  const size_t capacity = in.Byte() % 64;
  const bool null = (in.Byte() & 7) == 0;
  const std::u16string units = Units(in, capacity < 2 ? 0 : capacity - 1);
  auto block = Exact(units);
  const size_t got = BoundedLength(null ? nullptr : block.get(), capacity);
  const size_t want = ModelLength(units, capacity, null);
  FUZZ_CHECK(got == want, "BoundedLength(%s, %zu) = %zu, model %zu", ShowText(units).c_str(),
             capacity, got, want);
}

void CheckCopy(FuzzInput& in) {
  const size_t capacity = in.Byte() % 64;
  const bool null = (in.Byte() & 7) == 0;
  bool cut = false;
  const std::u16string source = Source(in, capacity, cut);
  auto from = Exact(source);
  std::u16string before(capacity, kUntouched);
  auto to = Exact(before);
  const bool got = BoundedCopy(null ? nullptr : to.get(), capacity, from.get());
  const std::u16string text = Terminated(source);

  std::u16string after = before;
  bool want = false;
  if (!null && capacity != 0) {
    if (text.size() < capacity) {
      want = true;
      after.replace(0, text.size() + 1, text + u'\0');
    } else {
      after.replace(0, capacity, source.substr(0, capacity));
      after[0] = 0;  // the empty text; the rest holds what was copied and nothing reads it
    }
  }
  FUZZ_CHECK(got == want, "BoundedCopy(%zu, %s) = %d, model %d", capacity, ShowText(text).c_str(),
             got, want);
  if (!null) {
    FUZZ_CHECK(Read(to.get(), capacity) == after, "BoundedCopy(%zu, %s) left %s, model %s",
               capacity, ShowText(text).c_str(), ShowText(Read(to.get(), capacity)).c_str(),
               ShowText(after).c_str());
  }
}

void CheckAppend(FuzzInput& in) {
  const size_t capacity = in.Byte() % 64;
  const bool null = (in.Byte() & 7) == 0;
  std::u16string before = Units(in, in.Byte() % (capacity + 1));
  before.resize(capacity, kUntouched);
  const size_t end = ModelLength(before, capacity, null);
  bool cut = false;
  const std::u16string source = Source(in, capacity - end, cut);
  auto from = Exact(source);
  auto to = Exact(before);
  const bool got = BoundedAppend(null ? nullptr : to.get(), capacity, from.get());
  const std::u16string text = Terminated(source);

  std::u16string after = before;
  bool want = false;
  const size_t room = capacity - end;
  if (!null && room != 0) {
    if (text.size() < room) {
      want = true;
      after.replace(end, text.size() + 1, text + u'\0');
    } else {
      after.replace(end, room, source.substr(0, room));
      after[end] = 0;  // the previous text again
    }
  }
  FUZZ_CHECK(got == want, "BoundedAppend(%s, %zu, %s) = %d, model %d", ShowText(before).c_str(),
             capacity, ShowText(text).c_str(), got, want);
  if (!null) {
    FUZZ_CHECK(Read(to.get(), capacity) == after, "BoundedAppend(%s, %zu, %s) left %s, model %s",
               ShowText(before).c_str(), capacity, ShowText(text).c_str(),
               ShowText(Read(to.get(), capacity)).c_str(), ShowText(after).c_str());
  }
}

char16_t FoldAscii(char16_t unit) {
  return unit >= u'A' && unit <= u'Z' ? unit + (u'a' - u'A') : unit;
}

void CheckPrefix(FuzzInput& in) {
  const uint8_t nulls = in.Byte();
  const std::u16string text = Terminated(Units(in, in.Byte() % 24)) + u'\0';
  std::u16string prefix = Terminated(Units(in, in.Byte() % 12));
  // Most of the time a prefix that is the text's own beginning, with letters recased.
  if (nulls & 0x10) {
    prefix = text.substr(0, prefix.size() < text.size() ? prefix.size() : text.size() - 1);
    for (char16_t& unit : prefix) {
      if (in.Byte() & 1) unit = unit >= u'a' && unit <= u'z' ? unit - 0x20 : FoldAscii(unit);
    }
  }
  prefix += u'\0';
  auto text_block = Exact(text);
  auto prefix_block = Exact(prefix);
  const bool null_text = (nulls & 7) == 0, null_prefix = (nulls & 7) == 1;
  const bool got = HasPrefixAsciiNoCase(null_text ? nullptr : text_block.get(),
                                        null_prefix ? nullptr : prefix_block.get());
  bool want = !null_text && !null_prefix;
  for (size_t i = 0; want && prefix[i] != 0; ++i) want = FoldAscii(text[i]) == FoldAscii(prefix[i]);
  FUZZ_CHECK(got == want, "HasPrefixAsciiNoCase(%s, %s) = %d, model %d", ShowText(text).c_str(),
             ShowText(prefix).c_str(), got, want);
}

void CheckAfterLastBackslash(FuzzInput& in) {
  const std::u16string units = Units(in, in.Byte() % 48);
  auto block = Exact(units);
  const char16_t* got = AfterLastBackslash(block.get(), units.size());
  size_t want = 0;
  const size_t last = units.rfind(u'\\');
  if (last != std::u16string::npos) want = last + 1;
  FUZZ_CHECK(got == block.get() + want, "AfterLastBackslash(%s) at %td, model %zu",
             ShowText(units).c_str(), got - block.get(), want);
}

void CheckHex(FuzzInput& in) {
  const size_t count = in.Byte() % 24;
  const size_t capacity = in.Byte() % 56;
  std::vector<uint8_t> bytes(count);
  for (uint8_t& b : bytes) b = in.Byte();
  std::unique_ptr<uint8_t[]> bytes_block(new uint8_t[count]);
  if (count != 0) memcpy(bytes_block.get(), bytes.data(), count);
  const std::u16string before(capacity, kUntouched);
  auto to = Exact(before);
  const bool got = EncodeHexUpper(bytes_block.get(), count, to.get(), capacity);
  std::u16string after = before;
  const bool want = capacity > 2 * count;
  if (want) {
    std::u16string digits;
    for (uint8_t b : bytes) {
      digits += u"0123456789ABCDEF"[b / 16];
      digits += u"0123456789ABCDEF"[b % 16];
    }
    after.replace(0, digits.size() + 1, digits + u'\0');
  }
  FUZZ_CHECK(got == want, "EncodeHexUpper(%zu bytes, %zu) = %d, model %d", count, capacity, got,
             want);
  FUZZ_CHECK(Read(to.get(), capacity) == after, "EncodeHexUpper(%zu bytes, %zu) left %s, model %s",
             count, capacity, ShowText(Read(to.get(), capacity)).c_str(), ShowText(after).c_str());
}

void CheckFill(FuzzInput& in) {
  const size_t count = in.Byte() % 64;
  const int value = static_cast<int>(static_cast<uint32_t>(in.Word()) << 16 | in.Word());
  std::unique_ptr<uint8_t[]> block(new uint8_t[count]);
  for (size_t i = 0; i < count; ++i) block[i] = static_cast<uint8_t>(~value);
  FUZZ_CHECK(FillBytes(block.get(), value, count) == block.get(),
             "FillBytes returned another pointer");
  for (size_t i = 0; i < count; ++i) {
    FUZZ_CHECK(block[i] == static_cast<uint8_t>(value), "FillBytes(%d, %zu) left 0x%02X at %zu",
               value, count, block[i], i);
  }
}

// A chain on a real buffer: it stops at the first false and reads as the empty text or the
// text before the failed step, and the guard unit stays NUL.
void CheckChain(FuzzInput& in) {
  FixedWideBuffer<12> buffer;
  std::u16string model;
  bool going = true;
  const int steps = in.Byte() % 6;
  for (int step = 0; step < steps && going; ++step) {
    const bool copy = in.Byte() & 1;
    const std::u16string text = Terminated(Units(in, in.Byte() % 14));
    const bool got = copy ? BoundedCopy(buffer.Text(), buffer.Capacity(), text.c_str())
                          : BoundedAppend(buffer.Text(), buffer.Capacity(), text.c_str());
    const std::u16string joined = copy ? text : model + text;
    going = joined.size() < buffer.Capacity();
    if (going) {
      model = joined;
    } else if (copy) {
      model.clear();
    }
    FUZZ_CHECK(got == going, "chain step %d: %d, model %d", step, got, going);
    FUZZ_CHECK(std::u16string(buffer.Text()) == model, "chain step %d reads %s, model %s", step,
               ShowText(buffer.Text()).c_str(), ShowText(model).c_str());
    FUZZ_CHECK(buffer.Text()[buffer.Capacity()] == 0, "the guard unit was written");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  for (int op = 0; op < 64 && !in.Empty(); ++op) {
    switch (in.Byte() % 8) {
      case 0:
        CheckLength(in);
        break;
      case 1:
        CheckCopy(in);
        break;
      case 2:
        CheckAppend(in);
        break;
      case 3:
        CheckPrefix(in);
        break;
      case 4:
        CheckAfterLastBackslash(in);
        break;
      case 5:
        CheckHex(in);
        break;
      case 6:
        CheckFill(in);
        break;
      default:
        CheckChain(in);
        break;
    }
  }
  return 0;
}
