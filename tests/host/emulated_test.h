// A fresh emulated machine per test, and the check that the test left nothing behind.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/emulated/world.h"

class EmulatedTest : public ::testing::Test {
 protected:
  void SetUp() override { emu::Reset(); }
  void TearDown() override {
    EXPECT_EQ(emu::OpenHandles(), 0u) << "handles left open";
    EXPECT_EQ(emu::LocalBlocks(), 0u) << "LocalAlloc blocks left";
    EXPECT_EQ(emu::HeapBlocks(), 0u) << "HeapAlloc blocks left";
  }
};

inline std::string Show(const std::u16string& text) { return emu::Narrow(text); }

// "C:\" followed by directories of 'd' until the path, with its trailing backslash, has length
// units.
inline std::u16string DirectoryOfLength(size_t length) {
  std::u16string path = u"C:\\";
  while (path.size() < length) {
    const size_t room = length - path.size() - 1;  // leave one unit for the backslash
    const size_t part = room > 100 ? 100 : room;
    path.append(part == 0 ? 1 : part, u'd');
    path += u'\\';
  }
  return path;
}
