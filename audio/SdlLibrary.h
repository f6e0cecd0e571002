// The functions of SDL2 the engine calls, taken from the library when first wanted
// rather than linked: SDL2 and the libraries it brings add about 9 ms to the start of a
// window, and the board needs no sound device before its window is on the screen.
//
// Thread-safety: sdlLibrary() may be called from any thread; the first call loads.
#pragma once

#include <SDL2/SDL.h>

#include <string>

struct SdlLibrary {
  decltype(&::SDL_GetError) GetError;
  decltype(&::SDL_ClearError) ClearError;
  decltype(&::SDL_SetHintWithPriority) SetHintWithPriority;
  decltype(&::SDL_InitSubSystem) InitSubSystem;
  decltype(&::SDL_QuitSubSystem) QuitSubSystem;
  decltype(&::SDL_AudioInit) AudioInit;
  decltype(&::SDL_GetCurrentAudioDriver) GetCurrentAudioDriver;
  decltype(&::SDL_PumpEvents) PumpEvents;
  decltype(&::SDL_FlushEvents) FlushEvents;
  decltype(&::SDL_PeepEvents) PeepEvents;
  decltype(&::SDL_GetNumAudioDevices) GetNumAudioDevices;
  decltype(&::SDL_GetAudioDeviceName) GetAudioDeviceName;
  decltype(&::SDL_OpenAudioDevice) OpenAudioDevice;
  decltype(&::SDL_PauseAudioDevice) PauseAudioDevice;
  decltype(&::SDL_CloseAudioDevice) CloseAudioDevice;
  decltype(&::SDL_SetThreadPriority) SetThreadPriority;
  decltype(&::SDL_NewAudioStream) NewAudioStream;
  decltype(&::SDL_FreeAudioStream) FreeAudioStream;
  decltype(&::SDL_AudioStreamPut) AudioStreamPut;
  decltype(&::SDL_AudioStreamGet) AudioStreamGet;
  decltype(&::SDL_AudioStreamAvailable) AudioStreamAvailable;
  decltype(&::SDL_AudioStreamFlush) AudioStreamFlush;
  decltype(&::SDL_AudioStreamClear) AudioStreamClear;
};

// SDL2's functions, loaded on the first call; nullptr when the library cannot be loaded,
// with the reason in `why` (when given).
const SdlLibrary* sdlLibrary(std::string* why = nullptr);
