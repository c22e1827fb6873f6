// The fuzz builds hash with one fixed key instead of a key drawn per process,
// so that a reproducer replays the same table layout on every run.
#pragma once

#include <string>
#include <vector>

namespace orvu::fuzz {

// Keys whose hashes under the fixed key collide: groups that share the whole
// 32-bit part a table keeps, then keys that share the cell they start from in
// every table of up to 4096 cells. Found once, on first use.
const std::vector<std::string>& colliding_keys();

}  // namespace orvu::fuzz
