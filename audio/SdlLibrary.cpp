#include "audio/SdlLibrary.h"

#include <dlfcn.h>

namespace {

constexpr const char* kLibraryName = "libSDL2-2.0.so.0";

struct Loaded {
  SdlLibrary functions{};
  bool ok = false;
  std::string problem;
};

template <class Function>
bool take(void* library, const char* name, Function& into, std::string& problem) {
  into = reinterpret_cast<Function>(::dlsym(library, name));
  if (into == nullptr && problem.empty()) problem = std::string(kLibraryName) + " has no " + name;
  return into != nullptr;
}

Loaded load() {
  Loaded loaded;
  // Never unloaded: the audio thread and the decoders may run until the program ends.
  void* library = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = ::dlerror();
    loaded.problem = std::string("cannot load ") + kLibraryName + ": " + (error ? error : "");
    return loaded;
  }
  SdlLibrary& f = loaded.functions;
  std::string& p = loaded.problem;
  loaded.ok = take(library, "SDL_GetError", f.GetError, p) &
              take(library, "SDL_ClearError", f.ClearError, p) &
              take(library, "SDL_SetHintWithPriority", f.SetHintWithPriority, p) &
              take(library, "SDL_InitSubSystem", f.InitSubSystem, p) &
              take(library, "SDL_QuitSubSystem", f.QuitSubSystem, p) &
              take(library, "SDL_AudioInit", f.AudioInit, p) &
              take(library, "SDL_GetCurrentAudioDriver", f.GetCurrentAudioDriver, p) &
              take(library, "SDL_PumpEvents", f.PumpEvents, p) &
              take(library, "SDL_FlushEvents", f.FlushEvents, p) &
              take(library, "SDL_PeepEvents", f.PeepEvents, p) &
              take(library, "SDL_GetNumAudioDevices", f.GetNumAudioDevices, p) &
              take(library, "SDL_GetAudioDeviceName", f.GetAudioDeviceName, p) &
              take(library, "SDL_OpenAudioDevice", f.OpenAudioDevice, p) &
              take(library, "SDL_PauseAudioDevice", f.PauseAudioDevice, p) &
              take(library, "SDL_CloseAudioDevice", f.CloseAudioDevice, p) &
              take(library, "SDL_SetThreadPriority", f.SetThreadPriority, p) &
              take(library, "SDL_NewAudioStream", f.NewAudioStream, p) &
              take(library, "SDL_FreeAudioStream", f.FreeAudioStream, p) &
              take(library, "SDL_AudioStreamPut", f.AudioStreamPut, p) &
              take(library, "SDL_AudioStreamGet", f.AudioStreamGet, p) &
              take(library, "SDL_AudioStreamAvailable", f.AudioStreamAvailable, p) &
              take(library, "SDL_AudioStreamFlush", f.AudioStreamFlush, p) &
              take(library, "SDL_AudioStreamClear", f.AudioStreamClear, p);
  return loaded;
}

}  // namespace

const SdlLibrary* sdlLibrary(std::string* why) {
  static const Loaded loaded = load();
  if (!loaded.ok && why) *why = loaded.problem;
  return loaded.ok ? &loaded.functions : nullptr;
}
