#pragma once
// Files that carry a sound's name but no sound the board can play, made on the spot in
// a test's folder: the kinds a host's downloads folder really holds.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <utility>
#include <vector>

namespace bad_sound_files {

// An ID3v2.3 tag with one title frame, as a tagging program writes it.
inline QByteArray id3Tag() {
  const QByteArray text = QByteArray("\x03", 1) + "Tonight's intro";
  QByteArray frame = "TIT2";
  const int size = int(text.size());
  frame += char((size >> 24) & 0x7f);
  frame += char((size >> 16) & 0xff);
  frame += char((size >> 8) & 0xff);
  frame += char(size & 0xff);
  frame += QByteArray(2, '\0');
  frame += text;
  QByteArray tag = QByteArray("ID3\x03\x00\x00", 6);
  const int tagSize = int(frame.size());
  for (int shift : {21, 14, 7, 0}) tag += char((tagSize >> shift) & 0x7f);
  return tag + frame;
}

inline QByteArray head(const QString& path, int bytes) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QByteArray();
  return file.read(bytes);
}

// Writes the bad files into `folder` and returns (file name, what it is) pairs. `goodMp3`
// and `goodWav` are sound files to cut short.
inline std::vector<std::pair<QString, QString>> write(const QString& folder, const QString& goodMp3,
                                                      const QString& goodWav) {
  const std::vector<std::pair<QString, QByteArray>> contents = {
      {"empty.mp3", QByteArray()},
      {"notes.mp3", "These are the notes for tonight, not a sound.\n"},
      {"tags only.mp3", id3Tag()},
      {"cut short.wav", head(goodWav, 44)},
      {"cut short.mp3", head(goodMp3, 4)},
      {"notes.txt", "A list of songs.\n"},
  };
  QDir().mkpath(folder);
  std::vector<std::pair<QString, QString>> written;
  for (const auto& [name, bytes] : contents) {
    QFile file(folder + "/" + name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) continue;
    file.write(bytes);
    written.emplace_back(name, folder + "/" + name);
  }
  return written;
}

}  // namespace bad_sound_files
