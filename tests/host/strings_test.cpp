// The bounded text operations and the fixed buffer, as tables against their stated results.
// Destinations sit between sentinel units, so a write past the capacity shows; sources that
// must not be read beyond a point are allocated to end exactly there, so ASan sees an over-read.
#include <gtest/gtest.h>

#include <memory>
#include <new>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "core/fill_bytes.h"
#include "core/fixed_wide_buffer.h"
#include "core/payload_layout.h"
#include "platform/win32.h"
#include "strings/bounded_text.h"

namespace {

using payload_layout::HasPrefixAsciiNoCase;
constexpr const WCHAR* kNoText = nullptr;

constexpr WCHAR kSentinel = 0xBEEF;
constexpr size_t kPad = 4;

// A destination of a given capacity with sentinel units on both sides. The usable units start
// out holding `initial` (its terminator included when it fits) and sentinels after it.
class GuardedText {
 public:
  GuardedText(size_t capacity, const std::u16string& initial = {}, bool terminate = true)
      : capacity_(capacity), units_(capacity + 2 * kPad, kSentinel) {
    for (size_t i = 0; i < initial.size() && i < capacity; ++i) units_[kPad + i] = initial[i];
    if (terminate && initial.size() < capacity) units_[kPad + initial.size()] = 0;
  }

  WCHAR* Data() { return units_.data() + kPad; }
  WCHAR Unit(size_t i) const { return units_[kPad + i]; }
  std::u16string Read() const { return std::u16string(units_.data() + kPad); }
  std::vector<WCHAR> Usable() const {
    return std::vector<WCHAR>(units_.begin() + kPad, units_.begin() + kPad + capacity_);
  }
  bool PaddingIntact() const {
    for (size_t i = 0; i < kPad; ++i) {
      if (units_[i] != kSentinel || units_[kPad + capacity_ + i] != kSentinel) return false;
    }
    return true;
  }

 private:
  size_t capacity_;
  std::vector<WCHAR> units_;
};

// Exactly the given units on the heap, with no terminator unless the text has one.
std::unique_ptr<WCHAR[]> Exact(const std::u16string& units) {
  std::unique_ptr<WCHAR[]> copy(new WCHAR[units.size() == 0 ? 1 : units.size()]);
  memcpy(copy.get(), units.data(), units.size() * sizeof(WCHAR));
  return copy;
}

std::u16string Terminated(const std::u16string& text) { return text + std::u16string(1, u'\0'); }

TEST(BoundedLength, CountsUnitsBeforeTheTerminatorWithinCapacityMinusOne) {
  struct Case {
    const char* name;
    std::u16string text;
    size_t capacity;
    size_t expected;
  };
  const std::vector<Case> cases = {
      {"capacity 0", u"abc", 0, 0},
      {"capacity 1", u"abc", 1, 0},
      {"abc in 4", u"abc", 4, 3},
      {"abcd in 4 examines units 0 to 2", u"abcd", 4, 3},
      {"empty text", u"", 4, 0},
      {"empty text in 2", u"", 2, 0},
      {"short text in a large capacity", u"ab", 260, 2},
      {"one unit in 2", u"a", 2, 1},
      {"long text in 2", u"abcdef", 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::u16string text = Terminated(c.text);
    EXPECT_EQ(BoundedLength(text.c_str(), c.capacity), c.expected);
  }
  EXPECT_EQ(BoundedLength(nullptr, 10), 0u);
}

TEST(BoundedLength, NeverReadsUnitCapacityMinusOne) {
  // Only capacity - 1 units exist, none of them NUL: reading the next one would overrun.
  for (size_t capacity : {2u, 3u, 4u, 260u}) {
    SCOPED_TRACE(capacity);
    auto units = Exact(std::u16string(capacity - 1, u'x'));
    EXPECT_EQ(BoundedLength(units.get(), capacity), capacity - 1);
  }
}

TEST(BoundedCopy, StoresWholeTextsAndEmptiesTheDestinationOnOverflow) {
  struct Case {
    const char* name;
    std::u16string previous;
    size_t capacity;
    std::u16string source;
    bool ok;
    std::u16string after;
  };
  const std::vector<Case> cases = {
      {"abc into 4", u"zz", 4, u"abc", true, u"abc"},
      {"abcd into 4", u"zz", 4, u"abcd", false, u""},
      {"empty into 1", u"", 1, u"", true, u""},
      {"one unit into 1", u"", 1, u"a", false, u""},
      {"replaces a longer text", u"longer", 8, u"ab", true, u"ab"},
      {"259 units into a path buffer", u"", 260, std::u16string(259, u'p'), true,
       std::u16string(259, u'p')},
      {"260 units into a path buffer", u"C:\\", 260, std::u16string(260, u'p'), false, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedText destination(c.capacity, c.previous);
    const std::u16string source = Terminated(c.source);
    EXPECT_EQ(BoundedCopy(destination.Data(), c.capacity, source.c_str()), c.ok);
    EXPECT_EQ(destination.Read(), c.after);
    EXPECT_TRUE(destination.PaddingIntact());
  }
}

TEST(BoundedCopy, RefusesNoRoomWithoutWriting) {
  GuardedText destination(4, u"abc");
  const std::vector<WCHAR> before = destination.Usable();
  EXPECT_FALSE(BoundedCopy(destination.Data(), 0, u"x"));
  EXPECT_EQ(destination.Usable(), before);
  EXPECT_TRUE(destination.PaddingIntact());
  EXPECT_FALSE(BoundedCopy(nullptr, 4, u"x"));
}

TEST(BoundedCopy, ReadsTheSourceNoFurtherThanTheCapacity) {
  for (size_t capacity : {1u, 3u, 260u}) {
    SCOPED_TRACE(capacity);
    auto source = Exact(std::u16string(capacity, u's'));  // no terminator within reach
    GuardedText destination(capacity, u"");
    EXPECT_FALSE(BoundedCopy(destination.Data(), capacity, source.get()));
    EXPECT_EQ(destination.Unit(0), 0);
    EXPECT_TRUE(destination.PaddingIntact());
  }
}

TEST(BoundedAppend, JoinsWhenItFitsAndRestoresThePreviousTextWhenNot) {
  struct Case {
    const char* name;
    std::u16string previous;
    bool terminated;  // false: previous fills the usable units without a NUL
    size_t capacity;
    std::u16string source;
    bool ok;
    std::u16string after;
  };
  const std::vector<Case> cases = {
      {"d to abc in 5", u"abc", true, 5, u"d", true, u"abcd"},
      {"de to abc in 5", u"abc", true, 5, u"de", false, u"abc"},
      {"empty to abc in 4", u"abc", true, 4, u"", true, u"abc"},
      {"one unit to abc in 4", u"abc", true, 4, u"x", false, u"abc"},
      {"to the empty text", u"", true, 4, u"abc", true, u"abc"},
      {"long source to the empty text", u"", true, 4, u"abcd", false, u""},
      {"capacity 1 ignores content: empty source", u"q", false, 1, u"", true, u""},
      {"capacity 1 ignores content: one unit", u"q", false, 1, u"a", false, u""},
      {"no NUL before the last unit: empty source", u"abcX", false, 4, u"", true, u"abc"},
      {"no NUL before the last unit: one unit", u"abcX", false, 4, u"d", false, u"abc"},
      {"name behind a directory", u"C:\\dir\\", true, 260, u"setup.exe", true,
       u"C:\\dir\\setup.exe"},
      {"up to 259 units", std::u16string(200, u'a'), true, 260, std::u16string(59, u'b'), true,
       std::u16string(200, u'a') + std::u16string(59, u'b')},
      {"not 260 units", std::u16string(200, u'a'), true, 260, std::u16string(60, u'b'), false,
       std::u16string(200, u'a')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedText destination(c.capacity, c.previous, c.terminated);
    const std::vector<WCHAR> before = destination.Usable();
    const size_t end = c.terminated ? c.previous.size() : c.capacity - 1;
    const std::u16string source = Terminated(c.source);
    EXPECT_EQ(BoundedAppend(destination.Data(), c.capacity, source.c_str()), c.ok);
    // Read up to the capacity only: a destination without NUL must not be read past it.
    std::vector<WCHAR> usable = destination.Usable();
    EXPECT_EQ(std::u16string(usable.begin(), usable.end()).substr(0, c.after.size() + 1),
              Terminated(c.after));
    for (size_t i = 0; i < end; ++i) {
      ASSERT_EQ(usable[i], before[i]) << "unit " << i << " of the previous text changed";
    }
    EXPECT_TRUE(destination.PaddingIntact());
  }
}

TEST(BoundedAppend, RefusesNoRoomWithoutWriting) {
  GuardedText destination(4, u"ab");
  const std::vector<WCHAR> before = destination.Usable();
  EXPECT_FALSE(BoundedAppend(destination.Data(), 0, u"x"));
  EXPECT_FALSE(BoundedAppend(destination.Data(), 0, u""));
  EXPECT_EQ(destination.Usable(), before);
  EXPECT_TRUE(destination.PaddingIntact());
  EXPECT_FALSE(BoundedAppend(nullptr, 4, u"x"));
}

TEST(BoundedAppend, ReadsTheSourceNoFurtherThanTheRoomLeft) {
  GuardedText destination(6, u"ab");
  auto source = Exact(u"wxyz");  // room is 4, and the source has no terminator within it
  EXPECT_FALSE(BoundedAppend(destination.Data(), 6, source.get()));
  EXPECT_EQ(destination.Read(), u"ab");
  EXPECT_TRUE(destination.PaddingIntact());
}

TEST(BoundedText, ChainStopsAtFirstFailureAndLeavesAReadableText) {
  const std::u16string directory = u"C:\\Installer\\VQ_12345.tmp\\";
  struct Case {
    const char* name;
    std::u16string base;
    std::u16string name_part;
    bool ok;
    std::u16string after;
  };
  const std::vector<Case> cases = {
      {"fits", directory, u"setup.exe", true, directory + u"setup.exe"},
      {"name does not fit", directory, std::u16string(260 - directory.size(), u'n'), false,
       directory},
      {"base does not fit", std::u16string(260, u'b'), u"setup.exe", false, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PathBuffer path;
    const bool ok = BoundedCopy(path.Text(), path.Capacity(), c.base.c_str()) &&
                    BoundedAppend(path.Text(), path.Capacity(), c.name_part.c_str());
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(std::u16string(path.Text()), c.after);
    EXPECT_EQ(path.Text()[PathBuffer::kCapacity], 0);
  }
}

TEST(HasPrefixAsciiNoCase, FoldsOnlyTheAsciiCapitals) {
  struct Case {
    const char* name;
    std::u16string text;
    std::u16string prefix;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"setup name", u"SETUP.EX_", u"setup", true},
      {"capitals in the prefix", u"Setup", u"SETUP", true},
      {"mixed both ways", u"sEtUp.exe", u"SeTuP", true},
      {"archive name", u"NIMBET.PACKED.7Z", u"nimbet", true},
      {"whole text", u"setup", u"setup", true},
      {"text shorter than prefix", u"set", u"setup", false},
      {"empty text", u"", u"s", false},
      {"empty prefix", u"anything", u"", true},
      {"empty prefix, empty text", u"", u"", true},
      {"differs in the middle", u"setXp", u"setup", false},
      {"first capital A", u"A", u"a", true},
      {"last capital Z", u"z", u"Z", true},
      {"E acute, capital vs small", u"\u00C9", u"\u00E9", false},
      {"E acute, small vs capital", u"\u00E9", u"\u00C9", false},
      {"at sign vs grave accent", u"@", u"`", false},
      {"grave accent vs at sign", u"`", u"@", false},
      {"bracket vs brace", u"[", u"{", false},
      {"brace vs bracket", u"{", u"[", false},
      {"units that differ in bit 0x20 beyond ASCII", u"\u0141", u"\u0161", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HasPrefixAsciiNoCase(c.text.c_str(), c.prefix.c_str()), c.expected);
  }
}

TEST(HasPrefixAsciiNoCase, NullPointersAndShortTexts) {
  EXPECT_FALSE(HasPrefixAsciiNoCase(kNoText, u"setup"));
  EXPECT_FALSE(HasPrefixAsciiNoCase(u"setup", kNoText));
  EXPECT_FALSE(HasPrefixAsciiNoCase(kNoText, u""));
  EXPECT_FALSE(HasPrefixAsciiNoCase(kNoText, kNoText));
  // The text ends at its terminator, exactly where its storage ends.
  auto text = Exact(Terminated(u"SET"));
  EXPECT_FALSE(HasPrefixAsciiNoCase(text.get(), u"setup"));
}

TEST(AfterLastBackslash, PointsJustAfterTheLastBackslashWithinTheLength) {
  struct Case {
    const char* name;
    std::u16string text;
    size_t length;
    size_t expected;  // offset from the start
  };
  const std::vector<Case> cases = {
      {"full path", u"C:\\dir\\stub.exe", 15, 7},
      {"no backslash", u"stub.exe", 8, 0},
      {"leading backslash only", u"\\stub.exe", 9, 1},
      {"trailing backslash", u"C:\\dir\\", 7, 7},
      {"length 0", u"C:\\dir\\", 0, 0},
      {"backslash beyond the length", u"C:\\dir\\stub.exe", 6, 3},
      {"only backslash beyond the length", u"abc\\", 3, 0},
      {"forward slashes are not separators", u"C:/dir/stub.exe", 15, 0},
      {"a single backslash", u"\\", 1, 1},
      {"two backslashes", u"\\\\", 2, 2},
      {"root of a drive", u"C:\\", 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_LE(c.length, c.text.size());
    // Exactly length units: no terminator is looked for, and nothing beyond them is read.
    auto units = Exact(c.text.substr(0, c.length));
    EXPECT_EQ(AfterLastBackslash(units.get(), c.length) - units.get(),
              static_cast<ptrdiff_t>(c.expected));
  }
}

TEST(EncodeHexUpper, WritesTwoUppercaseDigitsPerByteAndATerminator) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t capacity;
    bool ok;
    std::u16string digits;
  };
  const std::vector<Case> cases = {
      {"two bytes into 5", {0x3F, 0xA0}, 5, true, u"3FA0"},
      {"two bytes into 4", {0x3F, 0xA0}, 4, false, u""},
      {"no bytes into 1", {}, 1, true, u""},
      {"no bytes into 0", {}, 0, false, u""},
      {"every digit",
       {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF},
       17,
       true,
       u"0123456789ABCDEF"},
      {"extremes with room to spare", {0x00, 0xFF}, 10, true, u"00FF"},
      {"four random bytes behind a stem", {0xDE, 0xAD, 0xBE, 0xEF}, 11, true, u"DEADBEEF"},
      {"four bytes into 8", {0xDE, 0xAD, 0xBE, 0xEF}, 8, false, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedText destination(c.capacity, u"", false);  // all sentinels
    const std::vector<WCHAR> before = destination.Usable();
    EXPECT_EQ(EncodeHexUpper(c.bytes.data(), c.bytes.size(), destination.Data(), c.capacity), c.ok);
    const std::vector<WCHAR> after = destination.Usable();
    if (c.ok) {
      const size_t written = 2 * c.bytes.size() + 1;
      EXPECT_EQ(std::u16string(after.begin(), after.begin() + written), Terminated(c.digits));
      EXPECT_EQ(std::vector<WCHAR>(after.begin() + written, after.end()),
                std::vector<WCHAR>(before.begin() + written, before.end()));
    } else {
      EXPECT_EQ(after, before);
    }
    EXPECT_TRUE(destination.PaddingIntact());
  }
}

TEST(FillBytes, StoresTheLowEightBitsInExactlyCountBytes) {
  struct Case {
    int value;
    size_t count;
    uint8_t stored;
  };
  const std::vector<Case> cases = {
      {0, 520, 0x00}, {0xA5, 1, 0xA5},  {0x1FF, 7, 0xFF},
      {-1, 3, 0xFF},  {0x100, 5, 0x00}, {0x41, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "value " << c.value << ", count " << c.count);
    std::vector<uint8_t> memory(c.count + 2 * kPad, 0x5C);
    uint8_t* destination = memory.data() + kPad;
    EXPECT_EQ(FillBytes(destination, c.value, c.count), destination);
    for (size_t i = 0; i < memory.size(); ++i) {
      const bool inside = i >= kPad && i < kPad + c.count;
      ASSERT_EQ(memory[i], inside ? c.stored : 0x5C) << "byte " << i;
    }
  }
}

TEST(BoundedText, LeavesTheLastErrorAlone) {
  SetLastError(0x1234);
  GuardedText destination(4, u"ab");
  BoundedLength(destination.Data(), 4);
  BoundedCopy(destination.Data(), 4, u"abcdef");
  BoundedCopy(destination.Data(), 0, u"a");
  BoundedAppend(destination.Data(), 4, u"abcdef");
  HasPrefixAsciiNoCase(kNoText, u"a");
  const uint8_t bytes[2] = {1, 2};
  EncodeHexUpper(bytes, 2, destination.Data(), 4);
  FillBytes(destination.Data(), 0, 2);
  EXPECT_EQ(GetLastError(), 0x1234u);
}

template <typename Buffer>
void ExpectFreshBufferEmptyWithGuard() {
  // Construct over memory full of garbage, so that a unit the constructor forgot shows.
  // The fill goes through volatile, so the compiler cannot drop it as a store before construction.
  alignas(Buffer) unsigned char storage[sizeof(Buffer)];
  volatile unsigned char* fill = storage;
  for (size_t i = 0; i < sizeof(storage); ++i) fill[i] = 0xA5;
  Buffer* buffer = new (storage) Buffer();
  EXPECT_EQ(buffer->Text()[0], 0);
  EXPECT_EQ(buffer->Text()[Buffer::kCapacity], 0);
  EXPECT_EQ(std::u16string(buffer->Text()), u"");
  buffer->~Buffer();
}

TEST(FixedWideBuffer, FreshBufferIsEmptyAndGuarded) {
  ExpectFreshBufferEmptyWithGuard<ResourceTypeBuffer>();
  ExpectFreshBufferEmptyWithGuard<PathBuffer>();
  ExpectFreshBufferEmptyWithGuard<CommandLineBuffer>();
  ExpectFreshBufferEmptyWithGuard<FixedWideBuffer<300>>();
}

TEST(FixedWideBuffer, NamedInstancesArePlainValuesOfTheirCapacity) {
  EXPECT_EQ(ResourceTypeBuffer::Capacity(), 3u);
  EXPECT_EQ(PathBuffer::Capacity(), 260u);
  EXPECT_EQ(CommandLineBuffer::Capacity(), 1300u);
  // N + 1 units of storage and nothing else: no pointer, no hidden size.
  EXPECT_EQ(sizeof(ResourceTypeBuffer), 4 * sizeof(WCHAR));
  EXPECT_EQ(sizeof(PathBuffer), 261 * sizeof(WCHAR));
  EXPECT_EQ(sizeof(CommandLineBuffer), 1301 * sizeof(WCHAR));
}

TEST(FixedWideBuffer, GuardStaysNulWhateverFillsTheUsableUnits) {
  PathBuffer path;
  // Every usable unit written, as a platform call given the capacity may leave it.
  FillBytes(path.Text(), 0x41, PathBuffer::kCapacity * sizeof(WCHAR));
  EXPECT_EQ(path.Text()[PathBuffer::kCapacity], 0);
  EXPECT_EQ(BoundedLength(path.Text(), path.Capacity()), 259u);
  EXPECT_EQ(std::u16string(path.Text()).size(), 260u);  // still terminated, by the guard

  const std::u16string long_text(400, u'x');
  EXPECT_FALSE(BoundedCopy(path.Text(), path.Capacity(), long_text.c_str()));
  EXPECT_EQ(path.Text()[PathBuffer::kCapacity], 0);
  ASSERT_TRUE(BoundedCopy(path.Text(), path.Capacity(), std::u16string(259, u'y').c_str()));
  EXPECT_FALSE(BoundedAppend(path.Text(), path.Capacity(), u"z"));
  EXPECT_EQ(path.Text()[PathBuffer::kCapacity], 0);
  EXPECT_EQ(std::u16string(path.Text()), std::u16string(259, u'y'));

  ResourceTypeBuffer type;
  EXPECT_TRUE(BoundedCopy(type.Text(), type.Capacity(), u"BL"));
  EXPECT_FALSE(BoundedCopy(type.Text(), type.Capacity(), u"BLX"));
  EXPECT_EQ(type.Text()[ResourceTypeBuffer::kCapacity], 0);
  EXPECT_EQ(std::u16string(type.Text()), u"");
}

TEST(FixedWideBuffer, ClearWritesOnlyUnitZero) {
  ResourceTypeBuffer type;
  ASSERT_TRUE(BoundedCopy(type.Text(), type.Capacity(), u"B7"));
  type.Clear();
  EXPECT_EQ(type.Text()[0], 0);
  EXPECT_EQ(type.Text()[1], u'7');
  EXPECT_EQ(type.Text()[2], 0);
  EXPECT_EQ(type.Text()[3], 0);
}

}  // namespace
