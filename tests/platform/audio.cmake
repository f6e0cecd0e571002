# Sound fixtures for the audio tests, made at build time with sox and lame, and the
# audio tests' settings. Included from tests/platform/CMakeLists.txt.
find_program(SOX_EXECUTABLE sox REQUIRED)
find_program(LAME_EXECUTABLE lame REQUIRED)
find_program(GZIP_EXECUTABLE gzip REQUIRED)

set(AUDIO_FIXTURE_DIR ${CMAKE_CURRENT_BINARY_DIR}/audio-fixtures)
set(AUDIO_FIXTURE_WORK ${AUDIO_FIXTURE_DIR}/work)
file(MAKE_DIRECTORY ${AUDIO_FIXTURE_WORK} ${AUDIO_FIXTURE_DIR}/folder.mp3)

# cueboard_sine_mp3(<name.mp3> <seconds> <hz> <sox output options> <lame options>)
# A sine at half the full scale.
function(cueboard_sine_mp3 name seconds hz sox_options lame_options)
  separate_arguments(sox_options)
  separate_arguments(lame_options)
  add_custom_command(
    OUTPUT ${AUDIO_FIXTURE_DIR}/${name}
    COMMAND ${SOX_EXECUTABLE} -n ${sox_options} ${AUDIO_FIXTURE_WORK}/${name}.wav synth ${seconds} sine ${hz} vol 0.5
    COMMAND ${LAME_EXECUTABLE} --quiet ${lame_options} ${AUDIO_FIXTURE_WORK}/${name}.wav ${AUDIO_FIXTURE_DIR}/${name}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${AUDIO_FIXTURE_WORK}/${name}.wav
    DEPENDS ${CMAKE_CURRENT_LIST_FILE}
    VERBATIM)
endfunction()

cueboard_sine_mp3(sine440.mp3 1 440 "-r 44100 -c 2 -b 16" "-b 128")
cueboard_sine_mp3(sine440-short.mp3 0.1 440 "-r 44100 -c 2 -b 16" "-b 128")
cueboard_sine_mp3(sine440-10s.mp3 10 440 "-r 44100 -c 2 -b 16" "-b 128")
cueboard_sine_mp3(sine880-10s.mp3 10 880 "-r 44100 -c 2 -b 16" "-b 128")
cueboard_sine_mp3(sine440-48k.mp3 1 440 "-r 48000 -c 2 -b 16" "-b 128")
# MPEG-2 frames with no info frame: nothing at the start of the file says "mp3".
cueboard_sine_mp3(sine440-22k-mono.mp3 1 440 "-r 22050 -c 1 -b 16" "-t -b 32")

set(AUDIO_FIXTURES
  sine440.mp3 sine440-short.mp3 sine440-10s.mp3 sine880-10s.mp3 sine440-48k.mp3 sine440-22k-mono.mp3
  tones440-880.mp3 wav-content.mp3 junk-then-sine440.mp3 text.mp3 binary.mp3 tag-then-text.mp3 empty.mp3)

add_custom_command(
  OUTPUT ${AUDIO_FIXTURE_DIR}/tones440-880.mp3
  COMMAND ${SOX_EXECUTABLE} -n -r 44100 -c 2 -b 16 ${AUDIO_FIXTURE_WORK}/a.wav synth 0.5 sine 440 vol 0.5
  COMMAND ${SOX_EXECUTABLE} -n -r 44100 -c 2 -b 16 ${AUDIO_FIXTURE_WORK}/b.wav synth 0.5 sine 880 vol 0.5
  COMMAND ${SOX_EXECUTABLE} ${AUDIO_FIXTURE_WORK}/a.wav ${AUDIO_FIXTURE_WORK}/b.wav ${AUDIO_FIXTURE_WORK}/ab.wav
  COMMAND ${LAME_EXECUTABLE} --quiet -b 128 ${AUDIO_FIXTURE_WORK}/ab.wav ${AUDIO_FIXTURE_DIR}/tones440-880.mp3
  DEPENDS ${CMAKE_CURRENT_LIST_FILE}
  VERBATIM)

# A WAV under an mp3 name is still a sound; text and other data under one are not.
add_custom_command(
  OUTPUT ${AUDIO_FIXTURE_DIR}/wav-content.mp3
  COMMAND ${SOX_EXECUTABLE} -n -r 44100 -c 2 -b 16 -t wav ${AUDIO_FIXTURE_DIR}/wav-content.mp3 synth 1 sine 440 vol 0.5
  DEPENDS ${CMAKE_CURRENT_LIST_FILE}
  VERBATIM)

add_custom_command(
  OUTPUT ${AUDIO_FIXTURE_DIR}/junk-then-sine440.mp3
  COMMAND ${SOX_EXECUTABLE} -n -r 44100 -c 2 -b 16 ${AUDIO_FIXTURE_WORK}/junk.wav synth 1 sine 440 vol 0.5
  COMMAND ${LAME_EXECUTABLE} --quiet -t -b 128 ${AUDIO_FIXTURE_WORK}/junk.wav ${AUDIO_FIXTURE_WORK}/junk.mp3
  COMMAND sh -c "head -c 256 /dev/zero | cat - \"$1\" > \"$2\"" sh
          ${AUDIO_FIXTURE_WORK}/junk.mp3 ${AUDIO_FIXTURE_DIR}/junk-then-sine440.mp3
  DEPENDS ${CMAKE_CURRENT_LIST_FILE}
  VERBATIM)

add_custom_command(
  OUTPUT ${AUDIO_FIXTURE_DIR}/text.mp3 ${AUDIO_FIXTURE_DIR}/binary.mp3
         ${AUDIO_FIXTURE_DIR}/tag-then-text.mp3 ${AUDIO_FIXTURE_DIR}/empty.mp3
  COMMAND sh -c "printf 'These are the notes for tonight, not a sound.\\n' > text.mp3"
  COMMAND sh -c "${GZIP_EXECUTABLE} -n -9 -c text.mp3 > binary.mp3"
  # An ID3v2 header (what mp3 files begin with) and then no audio at all.
  COMMAND sh -c "printf 'ID3\\003\\000\\000\\000\\000\\000\\020' > tag-then-text.mp3 && head -c 16 /dev/zero >> tag-then-text.mp3 && cat text.mp3 text.mp3 >> tag-then-text.mp3"
  COMMAND ${CMAKE_COMMAND} -E touch empty.mp3
  WORKING_DIRECTORY ${AUDIO_FIXTURE_DIR}
  DEPENDS ${CMAKE_CURRENT_LIST_FILE}
  VERBATIM)

list(TRANSFORM AUDIO_FIXTURES PREPEND ${AUDIO_FIXTURE_DIR}/)
add_custom_target(platform_audio_fixtures DEPENDS ${AUDIO_FIXTURES})

if(TARGET platform_AudioPlayerTest)
  add_dependencies(platform_AudioPlayerTest platform_audio_fixtures)
  target_compile_definitions(platform_AudioPlayerTest PRIVATE CUEBOARD_AUDIO_FIXTURE_DIR="${AUDIO_FIXTURE_DIR}")
  # End notices cross from SDL's audio thread: part of the ThreadSanitizer run.
  set_property(TEST platform_AudioPlayerTest APPEND PROPERTY LABELS concurrent)
endif()
