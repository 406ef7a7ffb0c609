// What a failing receive fuzz run prints before it aborts: the check that failed, the world, the
// console and every event on the wire.
#pragma once

#include <cstddef>
#include <string>

#include "support/scenario.h"

struct Case;

// The run being checked, for fail() to describe; null pointers between runs.
void watchRun(const Case* c, const std::string* transcript);
[[noreturn]] void fail(const std::string& what);
void check(bool holds, const std::string& what);

// Bytes as hex text, cut after `limit` bytes with the whole count shown.
std::string hexText(const Bytes& bytes, std::size_t limit = 40);
// The console text with its line ends shown.
std::string printable(const std::string& text);
