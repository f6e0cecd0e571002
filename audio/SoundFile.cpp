#include "audio/SoundFile.h"

#include <SDL2/SDL.h>
#include <sndfile.h>

#include <filesystem>
#include <system_error>

#include "audio/SdlLibrary.h"

namespace {

constexpr std::size_t kBlockFrames = 1024;

}  // namespace

std::unique_ptr<SoundFile> SoundFile::open(const std::string& path, int outputRate,
                                           std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) {
      *error = path + ": " + why;
    }
    return std::unique_ptr<SoundFile>();
  };
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    return fail("no such file");
  }
  if (std::filesystem::is_directory(status)) {
    return fail("a folder, not a sound file");
  }
  // Anything but a plain file (a pipe, a device) could block the decoder forever.
  if (!std::filesystem::is_regular_file(status)) {
    return fail("not a sound file");
  }
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    return fail("cannot be read (" + ec.message() + ")");
  }
  if (size == 0) {
    return fail("the file is empty");
  }
  if (outputRate <= 0) {
    return fail("no output rate to decode for");
  }

  std::string sdlProblem;
  const SdlLibrary* sdl = sdlLibrary(&sdlProblem);
  if (sdl == nullptr) {
    return fail("cannot be resampled (" + sdlProblem + ")");
  }
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    return fail("not a sound file in a format that can be played");
  }
  if (info.channels <= 0 || info.samplerate <= 0) {
    sf_close(file);
    return fail("not a sound file in a format that can be played (no channels or rate)");
  }
  // Decoded floats are kept within full scale, as the other formats' are.
  sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  SDL_AudioStream* stream =
      sdl->NewAudioStream(AUDIO_F32SYS, 2, info.samplerate, AUDIO_F32SYS, 2, outputRate);
  if (stream == nullptr) {
    sf_close(file);
    return fail(std::string("cannot be resampled (") + sdl->GetError() + ")");
  }
  std::unique_ptr<SoundFile> sound(new SoundFile());
  sound->_path = path;
  sound->_file = file;
  sound->_stream = stream;
  sound->_sourceRate = info.samplerate;
  sound->_sourceChannels = info.channels;
  sound->_outputRate = outputRate;
  sound->_sourceFrames = info.frames;
  sound->_block.resize(kBlockFrames * static_cast<std::size_t>(info.channels));
  sound->_stereo.resize(kBlockFrames * 2);
  return sound;
}

SoundFile::~SoundFile() {
  const SdlLibrary* sdl = sdlLibrary();  // loaded: open() made this sound
  sdl->FreeAudioStream(_stream);
  sf_close(_file);
}

bool SoundFile::feed() {
  const SdlLibrary* sdl = sdlLibrary();  // loaded: open() made this sound
  if (_fileEnded) {
    return false;
  }
  const sf_count_t got = sf_readf_float(_file, _block.data(), kBlockFrames);
  if (got <= 0) {
    if (sf_error(_file) != SF_ERR_NO_ERROR && _problem.empty()) {
      _problem = _path + ": the sound could not be read to its end (" + sf_strerror(_file) + ")";
    }
    _fileEnded = true;
    sdl->AudioStreamFlush(_stream);
    return false;
  }
  const auto frames = static_cast<std::size_t>(got);
  const auto channels = static_cast<std::size_t>(_sourceChannels);
  for (std::size_t f = 0; f < frames; ++f) {
    const float* in = &_block[f * channels];
    if (channels == 1) {
      _stereo[2 * f] = _stereo[2 * f + 1] = in[0];
    } else if (channels == 2) {
      _stereo[2 * f] = in[0];
      _stereo[2 * f + 1] = in[1];
    } else {
      float left = 0.0f;
      float right = 0.0f;
      for (std::size_t c = 0; c < channels; ++c) {
        (c % 2 == 0 ? left : right) += in[c];
      }
      _stereo[2 * f] = left / static_cast<float>((channels + 1) / 2);
      _stereo[2 * f + 1] = right / static_cast<float>(channels / 2);
    }
  }
  sdl->AudioStreamPut(_stream, _stereo.data(), static_cast<int>(frames * 2 * sizeof(float)));
  return true;
}

std::size_t SoundFile::read(float* out, std::size_t frames) {
  const SdlLibrary* sdl = sdlLibrary();  // loaded: open() made this sound
  constexpr int kFrameBytes = 2 * sizeof(float);
  const int wanted = static_cast<int>(frames) * kFrameBytes;
  while (sdl->AudioStreamAvailable(_stream) < wanted && feed()) {
  }
  const int got = sdl->AudioStreamGet(_stream, out, wanted);
  return got > 0 ? static_cast<std::size_t>(got / kFrameBytes) : 0;
}

bool SoundFile::rewind() {
  const SdlLibrary* sdl = sdlLibrary();  // loaded: open() made this sound
  sdl->AudioStreamClear(_stream);
  _fileEnded = false;
  if (sf_seek(_file, 0, SEEK_SET) < 0) {
    _fileEnded = true;
    _problem = _path + ": the sound could not be played again (" + sf_strerror(_file) + ")";
    return false;
  }
  return true;
}

double SoundFile::duration() const {
  return _sourceFrames > 0 ? static_cast<double>(_sourceFrames) / _sourceRate : 0.0;
}
