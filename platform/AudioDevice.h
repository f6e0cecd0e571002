// The one sound output of the program: an SDL_mixer device opened once at start-up
// (a small buffer of 512 frames, so a sound is heard within about ten milliseconds)
// and kept open until exit. It also owns the single music slot in which every
// AudioPlayer's sound plays, so that only one sound is ever heard at a time and a
// player can tell whether the sound in the slot is still its own.
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
// notice arrives on SDL's audio thread and is handed to the main thread by a queued
// call; nothing of a player is touched from the audio thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct _Mix_Music Mix_Music;

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

  // Plays on the output named `deviceName` (one of outputDeviceNames(); "" for the
  // system's default) at `frequency` samples a second (0: the usual rate), through SDL's
  // audio driver `driver` ("" for SDL's own choice, which SDL_AUDIODRIVER can make; a
  // driver that does not start gives way to that choice). When the device is open or
  // wanted it is reopened there at once: the sound that played stops without an end
  // notice. True when the device is open afterwards.
  static bool useOutput(const std::string& deviceName, int frequency = 0,
                        const std::string& driver = std::string(),
                        std::string* error = nullptr);
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

  // Starts `music` once from its beginning at `gain` (0.0-1.0), silencing whatever
  // sounded before without any end notice. Returns the ticket that names this run of
  // the sound, or 0 when it could not start.
  static std::uint64_t startMusic(Mix_Music* music, float gain);
  // Silences the slot if `ticket`'s run is the one sounding; never touches another.
  static void stopMusic(std::uint64_t ticket);
  // Whether `ticket`'s run is the sound now in the slot (false once it has ended).
  static bool isSounding(std::uint64_t ticket);
  // Changes the loudness at once if `ticket`'s run is the one sounding.
  static void setGain(std::uint64_t ticket, float gain);
  // The device's "sound ended" hook: runs on the audio thread, or inside a halt.
  static void musicFinished();

  // The one place where the device is opened: opens the mixer on SDL's audio, which it
  // starts first (afresh when `restartAudio`, so that the driver is chosen again).
  // On the output asked for when it is listed, else on the default one.
  static bool openDevice(bool restartAudio, std::string* error);
  // Starts SDL's audio (afresh when `restartAudio`); `why` says why it did not start.
  static bool startAudio(bool restartAudio, std::string* why);
  // Whether SDL lists an output of that name now.
  static bool isListed(const std::string& deviceName);
  // Closes the mixer's device; SDL's audio keeps running to report new devices unless
  // `stopAudio`.
  static void closeDevice(bool stopAudio);
  // Main thread, a few times a second while the device is wanted: SDL's reports of
  // output devices lost (ours) and added (worth a try while we have none).
  static void checkDevices();
  static void postDidChange();
};
