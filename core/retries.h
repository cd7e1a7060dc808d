// How long the stub waits for what others hold: a scanner or indexer that has a freshly written
// setup.exe open, or the image of an exited setup, lets go within moments on Windows.
#pragma once

#include <stdint.h>

// The pause between two attempts, in milliseconds.
constexpr uint32_t kRetryPauseMilliseconds = 100;
// A removal: 100 attempts, about ten seconds.
constexpr int kRemovalAttempts = 100;
// Starting setup: the first attempt and ten more, about one second.
constexpr int kLaunchAttempts = 11;
