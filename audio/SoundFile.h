// SoundFile: one sound file decoded to the output's format, 32-bit float stereo frames
// at the output's rate. libsndfile reads it (WAV, AIFF, FLAC, Ogg Vorbis, Opus, MP3),
// judged by its content; SDL's audio stream resamples it. More than two channels are
// folded to two (the even-numbered ones to the left, the odd to the right), one is
// heard on both.
//
// Ownership: owns its file handle and resampler; the owner decides the thread.
// Thread-safety: none; use it from one thread at a time. Reading touches the file, so
// never from the audio callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;
struct _SDL_AudioStream;

class SoundFile {
 public:
  // The sound at `path` for an output at `outputRate`, or nullptr with `error` set to
  // the reason: missing, a folder, not a plain file, empty, unreadable, or not a sound
  // in a known format.
  static std::unique_ptr<SoundFile> open(const std::string& path, int outputRate,
                                         std::string* error);
  ~SoundFile();
  SoundFile(const SoundFile&) = delete;
  SoundFile& operator=(const SoundFile&) = delete;

  // Decodes up to `frames` frames into `out` (2 floats a frame); fewer only at the end
  // (0 once it has been reached). A read error ends the sound early and says why in
  // problem().
  std::size_t read(float* out, std::size_t frames);
  // Back to the first frame. False (with problem() set) when the file no longer seeks.
  bool rewind();

  double duration() const;
  int sourceRate() const { return _sourceRate; }
  int sourceChannels() const { return _sourceChannels; }
  int outputRate() const { return _outputRate; }
  // Why decoding stopped before the end; "" while it has not.
  const std::string& problem() const { return _problem; }

 private:
  SoundFile() = default;
  // Feeds the resampler one block of the file; false at the end of the file.
  bool feed();

  std::string _path;
  SNDFILE* _file = nullptr;
  _SDL_AudioStream* _stream = nullptr;
  int _sourceRate = 0;
  int _sourceChannels = 0;
  int _outputRate = 0;
  std::int64_t _sourceFrames = 0;
  bool _fileEnded = false;
  std::string _problem;
  std::vector<float> _block;   // frames as read, source channels
  std::vector<float> _stereo;  // the same frames folded to two channels
};
