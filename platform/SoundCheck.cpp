#include "platform/SoundCheck.h"

#include <filesystem>
#include <system_error>

#include "audio/SoundFile.h"
#include "platform/OpenPanel.h"

namespace {

constexpr int kCheckRate = 44100;
constexpr std::size_t kCheckFrames = 256;

// The decoder's reason without the path it starts with.
std::string decoderWords(const std::string& path, const std::string& error) {
  const std::string prefix = path + ": ";
  return error.rfind(prefix, 0) == 0 ? error.substr(prefix.size()) : error;
}

}  // namespace

std::string soundFileProblem(const std::string& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) return "找不到这个文件";
  if (std::filesystem::is_directory(status)) return "这是一个文件夹，不是音效文件";
  if (std::filesystem::is_regular_file(status) && std::filesystem::file_size(path, ec) == 0 &&
      !ec) {
    return "文件是空的";
  }
  std::string error;
  auto sound = SoundFile::open(path, kCheckRate, &error);
  if (!sound) return "不是可以播放的音效文件（" + decoderWords(path, error) + "）";
  // A header with nothing after it opens but holds no sound.
  float frames[kCheckFrames * 2];
  if (sound->read(frames, kCheckFrames) == 0) {
    const std::string why = sound->problem().empty() ? std::string("no audio frames")
                                                     : decoderWords(path, sound->problem());
    return "文件里没有可以播放的声音（" + why + "）";
  }
  return std::string();
}

SoundFileSelection checkSoundFiles(const std::vector<std::string>& paths) {
  SoundFileSelection selection;
  for (const std::string& path : paths) {
    std::string problem = soundFileProblem(path);
    if (problem.empty()) {
      selection.playable.push_back(path);
    } else {
      selection.refused.push_back({path, std::move(problem)});
    }
  }
  return selection;
}

std::string SoundFileSelection::summary() const {
  if (refused.empty()) return std::string();
  std::string names;
  for (const Refused& file : refused) {
    if (!names.empty()) names += "、";
    names += lastPathComponent(file.path);
  }
  return std::to_string(refused.size()) + " 个文件无法添加：" + names;
}

std::string SoundFileSelection::details() const {
  std::string lines;
  for (const Refused& file : refused) {
    if (!lines.empty()) lines += "\n";
    lines += lastPathComponent(file.path) + "：" + file.reason;
  }
  return lines;
}
