// SoundCheck: whether a file is a sound the board can play, asked before a file enters
// the library (from a dialog, a batch, a drop or the editor). The file is opened with
// the player's own decoder and its first frames are decoded, so that an empty file, a
// text under a sound's name, an mp3 that is only its tags and a file cut off after its
// header are all refused, each with a reason the host can read.
//
// Stateless free functions.
// Thread-safety: may run on any thread; it only reads the file.
#pragma once

#include <string>
#include <vector>

// Why the file at `path` cannot be played, in Chinese with the decoder's own words
// after it ("不是可以播放的音效文件（…）"); "" when it plays.
std::string soundFileProblem(const std::string& path);

// The files a host chose, sorted into those that play and those that do not.
struct SoundFileSelection {
  std::vector<std::string> playable;  // paths, in the order given
  struct Refused {
    std::string path;
    std::string reason;
  };
  std::vector<Refused> refused;

  // "1 个文件无法添加：a.txt" or "3 个文件无法添加：a.txt、b.mp3、c.wav": the names of
  // the refused files; "" when none was refused.
  std::string summary() const;
  // One line per refused file: its name, "：" and why.
  std::string details() const;
};

SoundFileSelection checkSoundFiles(const std::vector<std::string>& paths);
