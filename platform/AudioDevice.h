// The one sound output of the program: the engine of audio/ on an SDL device opened once
// at start-up (a small buffer of 512 frames, so a sound is heard within about ten
// milliseconds) and kept open until exit. Every AudioPlayer plays through it. By
// default only one sound is heard at a time: starting one ramps out every other. With
// setOverlap(true) sounds play alongside each other, up to 16; the 17th ramps out the
// oldest.
//
// When no device can be opened (no sound server, no card, an unknown SDL_AUDIODRIVER)
// the program still runs: open() returns false with a readable reason, and every
// AudioPlayer creation fails with that reason instead of playing. A device that was
// asked for stays wanted until close(): if it could not be opened, or is lost later
// (unplugged, its sound server gone), it is tried again whenever a player is made and
// whenever SDL reports a new output device, so one that appears after start-up is
// used without a restart. Every change of isOpen() is posted, on the main thread, as
// the notification kDeviceDidChange.
//
// The output is the system's default unless useOutput() names one of the devices that
// outputDeviceNames() lists. A named output that is missing when the device opens (an
// unplugged headset) gives way to the default, which outputFallback() then explains;
// the wish is kept, and the named output is taken again when SDL reports it back.
//
// Thread-safety: call every function from the main (Qt GUI) thread. The end-of-sound
// notice arrives on the engine's decoder thread and is handed to the main thread by a
// queued call; nothing of a player is touched from another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class AudioEngine;
class Sound;

class AudioDevice {
 public:
  // Opens the default output device; does nothing when it is already open. Call it once
  // the QApplication exists: end notices are delivered through its event loop, and the
  // device closes itself when the application object goes away. On failure
  // returns false and fills `error` (when given) with why, also kept in lastError().
  static bool open(std::string* error = nullptr);
  // Tries once more, with SDL's audio started afresh (a sound server or driver may have
  // appeared since), when open() was asked for and the device is not open now. True
  // when the device is open afterwards; otherwise `error` and lastError() say why.
  static bool reopenIfMissing(std::string* error = nullptr);
  static bool isOpen();
  // Wants the device without opening it yet, so that the window can show first: a
  // player made before open() opens it then (as for a device gone missing), and open()
  // later finds it open.
  static void openLater();
  // Wanted through openLater() and not tried yet: no reason to say there is none.
  static bool isOpenPending();

  // Plays on the output named `deviceName` (one of outputDeviceNames(); "" for the
  // system's default) at `frequency` samples a second (0: the usual rate), through SDL's
  // audio driver `driver` ("" for SDL's own choice, which SDL_AUDIODRIVER can make; a
  // driver that does not start gives way to that choice). When the device is open or
  // wanted it is reopened there at once: the sound that played stops without an end
  // notice. True when the device is open afterwards.
  static bool useOutput(const std::string& deviceName, int frequency = 0,
                        const std::string& driver = std::string(), std::string* error = nullptr);
  // Whether the device is open on exactly that output, rate and driver (as useOutput()
  // with them would leave it), so that asking for it again changes nothing.
  static bool isOnOutput(const std::string& deviceName, int frequency = 0,
                         const std::string& driver = std::string());
  // The output asked for with useOutput(), "" for the default.
  static std::string outputDeviceName();
  // Why the device plays on the default output rather than the one asked for; "" when
  // it plays where it was asked to (or is closed).
  static std::string outputFallback();
  // The playback devices SDL's audio driver reports now, in its order; none before
  // open() has started SDL's audio.
  static std::vector<std::string> outputDeviceNames();
  // Posted (default centre, main thread) when SDL reports an output device added or
  // removed, so that lists of them can be refreshed.
  static constexpr const char* kDeviceListDidChange = "audioDeviceListDidChange";
  // Posted (with NotificationCenter's default centre) each time the device opens, is
  // lost or is closed.
  static constexpr const char* kDeviceDidChange = "audioDeviceDidChange";
  // Why the last open() failed; "" while the device is open.
  static std::string lastError();
  // Several sounds at once (true) or one at a time (false, the default): a sound
  // started while others play joins them, or ramps them out. Kept across openings.
  static void setOverlap(bool overlap);
  static bool overlap();
  // Ramps out every sound that plays, without end notices.
  static void stopAll();
  // How many sounds play now.
  static int playingCount();

  // Each period of mixed output, in the audio callback, just before it goes to the
  // device (for benchmarks and meters): it must not allocate, lock or block. Kept
  // across openings; nullptr for none.
  using OutputTap = void (*)(const std::int16_t* samples, int frames, void* context);
  static void setOutputTap(OutputTap tap, void* context);

  // Silences the sound that plays and closes the device (at exit, or in tests to
  // reopen it with another driver); the next open() is on the default output again.
  // Players that still exist stay harmless: they can no longer play.
  static void close();

  // The format the device accepted, in which its samples are signed 16-bit, native
  // byte order, channels interleaved. 0 while closed.
  static int frequency();
  static int channels();

  // Counts the successful opens, so that a player made for one opening of the device
  // refuses to play into a later one (its decoder was set up for that format).
  static std::uint64_t openCount();

 private:
  friend class AudioPlayer;

  static AudioEngine& engine();
  // Starts `sound` once from its beginning at `gain` (linear), ramping out whatever
  // sounded before unless sounds overlap, without any end notice. Returns the ticket
  // that names this run of the sound, or 0 when it could not start.
  static std::uint64_t startMusic(const std::shared_ptr<Sound>& sound, float gain);
  // Silences the slot if `ticket`'s run is the one sounding; never touches another.
  static void stopMusic(std::uint64_t ticket);
  // Whether `ticket`'s run is the sound now in the slot (false once it has ended).
  static bool isSounding(std::uint64_t ticket);
  // Whether `ticket`'s run played to its end and its end notice was not delivered yet.
  static bool endIsPending(std::uint64_t ticket);
  // `ticket`'s end notice was delivered (or is not wanted): it is forgotten.
  static void forgetEnd(std::uint64_t ticket);
  // Changes the loudness at once if `ticket`'s run is the one sounding.
  static void setGain(std::uint64_t ticket, float gain);
  // The one place where the device is opened: opens the engine on SDL's audio, which it
  // starts first (afresh when `restartAudio`, so that the driver is chosen again).
  // On the output asked for when it is listed, else on the default one.
  static bool openDevice(bool restartAudio, std::string* error);
  // Starts SDL's audio (afresh when `restartAudio`); `why` says why it did not start.
  static bool startAudio(bool restartAudio, std::string* why);
  // Whether SDL lists an output of that name now.
  static bool isListed(const std::string& deviceName);
  // Closes the engine's device (ramping the sound out over `fadeMilliseconds` at
  // most); SDL's audio keeps running to report new devices unless `stopAudio`.
  static void closeDevice(bool stopAudio, int fadeMilliseconds = 0);
  // Main thread, a few times a second while the device is wanted: SDL's reports of
  // output devices lost (ours) and added (worth a try while we have none).
  static void checkDevices();
  static void postDidChange();
};
