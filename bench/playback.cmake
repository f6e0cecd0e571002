# Click-to-first-sound latency and the memory cost of the audio engine. The clips are
# made at build time with sox and lame.
find_program(SOX_EXECUTABLE sox REQUIRED)
find_program(LAME_EXECUTABLE lame REQUIRED)

set(BENCH_CLIP_DIR ${CMAKE_CURRENT_BINARY_DIR}/clips)
file(MAKE_DIRECTORY ${BENCH_CLIP_DIR})

# cueboard_bench_clip(<name.mp3> <seconds> <lame options>): a 44.1 kHz stereo tone,
# piped from sox into lame so that no long WAV lands on disk.
function(cueboard_bench_clip name seconds lame_options)
  add_custom_command(
    OUTPUT ${BENCH_CLIP_DIR}/${name}
    COMMAND sh -c "\"$1\" -n -r 44100 -c 2 -b 16 -t wav - synth $3 sine 220-880 vol 0.5 2>/dev/null | \"$2\" --quiet $4 - \"$5\""
            sh ${SOX_EXECUTABLE} ${LAME_EXECUTABLE} ${seconds} "${lame_options}" ${BENCH_CLIP_DIR}/${name}
    DEPENDS ${CMAKE_CURRENT_LIST_FILE}
    VERBATIM)
endfunction()

cueboard_bench_clip(clip-1s.mp3 1 "-b 128")
cueboard_bench_clip(clip-3min.mp3 180 "-b 128")
cueboard_bench_clip(clip-10min.mp3 600 "-b 128")
# No info frame: the decoder gets no length from the header and must not go looking.
cueboard_bench_clip(clip-10min-noinfo.mp3 600 "-t -b 128")
add_custom_target(bench_clips DEPENDS
  ${BENCH_CLIP_DIR}/clip-1s.mp3 ${BENCH_CLIP_DIR}/clip-3min.mp3
  ${BENCH_CLIP_DIR}/clip-10min.mp3 ${BENCH_CLIP_DIR}/clip-10min-noinfo.mp3)

cueboard_benchmark(PlaybackLatencyBench SOURCES PlaybackLatencyBench.cpp
  LIBS cueboard_platform PkgConfig::SDL2)
add_dependencies(PlaybackLatencyBench bench_clips)
target_compile_definitions(PlaybackLatencyBench PRIVATE CUEBOARD_BENCH_CLIP_DIR="${BENCH_CLIP_DIR}")

# Click to the first sound a program recording the virtual microphone hears, on private
# PipeWire and PulseAudio servers the program starts (as the sound output tests do).
pkg_check_modules(PULSE_BENCH REQUIRED IMPORTED_TARGET libpulse libpulse-simple)
cueboard_benchmark(VirtualMicLatencyBench SOURCES VirtualMicLatencyBench.cpp
  LIBS cueboard_platform PkgConfig::PULSE_BENCH PkgConfig::SDL2)
add_dependencies(VirtualMicLatencyBench bench_clips)
target_include_directories(VirtualMicLatencyBench PRIVATE ${CMAKE_SOURCE_DIR}/tests/board)
target_compile_definitions(VirtualMicLatencyBench PRIVATE CUEBOARD_BENCH_CLIP_DIR="${BENCH_CLIP_DIR}")
