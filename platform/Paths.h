// The program's data folders on disk. documentPath() is where the user's library lives
// (the database "data.sqlite" and the folder "sound"): $XDG_DATA_HOME/cueboard, or
// ~/.local/share/cueboard when XDG_DATA_HOME is unset, empty or not absolute.
//
// The paths are computed once, on first use, and kept for the process; tests that
// change the environment call resetPathsForTesting() to have them computed again.
//
// Thread-safety: all functions may be called from any thread; a concurrent first use
// computes the paths once.
#pragma once

#include <string>

std::string documentPath();  // no trailing '/'
std::string soundPath();     // documentPath() + "/sound/"
void resetPathsForTesting();

// The user's home folder: $HOME, else the account database's entry, else "".
std::string homeDirectory();

// Joins with exactly one '/' between base and component, whatever slashes either
// brings, and drops trailing slashes ("/a/" + "b/" gives "/a/b"). An empty base gives
// the component; an empty component gives the base.
std::string stringByAppendingPathComponent(const std::string& base, const std::string& component);
