# Sound fixtures for the engine's tests, made at build time with sox, lame and opusenc.
find_program(SOX_EXECUTABLE sox REQUIRED)
find_program(LAME_EXECUTABLE lame REQUIRED)
find_program(OPUSENC_EXECUTABLE opusenc REQUIRED)
find_program(GZIP_EXECUTABLE gzip REQUIRED)

set(ENGINE_FIXTURE_DIR ${CMAKE_CURRENT_BINARY_DIR}/fixtures)
file(MAKE_DIRECTORY ${ENGINE_FIXTURE_DIR})
set(ENGINE_FIXTURES)

# engine_fixture(<name> <shell command run in the fixture folder>)
function(engine_fixture name command)
  add_custom_command(
    OUTPUT ${ENGINE_FIXTURE_DIR}/${name}
    COMMAND sh -c "${command}"
    WORKING_DIRECTORY ${ENGINE_FIXTURE_DIR}
    DEPENDS ${CMAKE_CURRENT_LIST_FILE}
    VERBATIM)
  set(ENGINE_FIXTURES ${ENGINE_FIXTURES} ${ENGINE_FIXTURE_DIR}/${name} PARENT_SCOPE)
endfunction()

set(SINE "${SOX_EXECUTABLE} -n -r 44100 -c 2 -b 16")
# A 440 Hz sine at half the full scale, one second, in every format that plays.
engine_fixture(sine440.wav "${SINE} sine440.wav synth 1 sine 440 vol 0.5")
engine_fixture(sine440.flac "${SINE} sine440.flac synth 1 sine 440 vol 0.5")
engine_fixture(sine440.ogg "${SINE} -t vorbis sine440.ogg synth 1 sine 440 vol 0.5")
engine_fixture(sine440.aiff "${SINE} sine440.aiff synth 1 sine 440 vol 0.5")
engine_fixture(sine440.mp3 "${SINE} s.wav synth 1 sine 440 vol 0.5 && ${LAME_EXECUTABLE} --quiet -b 128 s.wav sine440.mp3 && rm s.wav")
engine_fixture(sine440.opus "${SOX_EXECUTABLE} -n -r 48000 -c 2 -b 16 o.wav synth 1 sine 440 vol 0.5 && ${OPUSENC_EXECUTABLE} --quiet o.wav sine440.opus && rm o.wav")
# Odd layouts: 48 kHz with six channels, 8 kHz mono.
engine_fixture(sine440-48k-6ch.wav "${SOX_EXECUTABLE} -n -r 48000 -c 6 -b 16 sine440-48k-6ch.wav synth 1 sine 440 vol 0.5")
engine_fixture(sine440-8k-mono.wav "${SOX_EXECUTABLE} -n -r 8000 -c 1 -b 16 sine440-8k-mono.wav synth 1 sine 440 vol 0.5")
# Long sounds at two pitches, at a quarter of the full scale so that two sum unclipped.
engine_fixture(sine660-10s.wav "${SINE} sine660-10s.wav synth 10 sine 660 vol 0.25")
engine_fixture(sine990-10s.wav "${SINE} sine990-10s.wav synth 10 sine 990 vol 0.25")
engine_fixture(sine440-10s.mp3 "${SINE} l.wav synth 10 sine 440 vol 0.5 && ${LAME_EXECUTABLE} --quiet -b 128 l.wav sine440-10s.mp3 && rm l.wav")
# 1 kHz sines whose loudness is about their level in dBFS: -8, -24 and -36 LUFS.
engine_fixture(loud-8.wav "${SINE} loud-8.wav synth 4 sine 1000 gain -8")
engine_fixture(loud-24.wav "${SINE} loud-24.wav synth 4 sine 1000 gain -24")
engine_fixture(loud-36.wav "${SINE} loud-36.wav synth 4 sine 1000 gain -36")
# Files that are no sound.
engine_fixture(text.wav "printf 'These are the notes for tonight, not a sound.\\n' > text.wav")
engine_fixture(empty.wav "touch empty.wav")
engine_fixture(gzip.mp3 "printf 'not a sound, squeezed\\n' | ${GZIP_EXECUTABLE} -n -9 > gzip.mp3")
engine_fixture(cut-header.wav "${SINE} whole.wav synth 1 sine 440 vol 0.5 && head -c 30 whole.wav > cut-header.wav && rm whole.wav")
engine_fixture(tags-only.mp3 "printf 'ID3\\003\\000\\000\\000\\000\\000\\020' > tags-only.mp3 && head -c 16 /dev/zero >> tags-only.mp3")
# The first half of an mp3: it plays as far as it goes.
engine_fixture(half.mp3 "${SINE} h.wav synth 2 sine 440 vol 0.5 && ${LAME_EXECUTABLE} --quiet -b 128 h.wav h.mp3 && head -c 16000 h.mp3 > half.mp3 && rm h.wav h.mp3")

add_custom_target(audio_fixtures DEPENDS ${ENGINE_FIXTURES})
