# The web edition: build/site holds the page to host (index.html, its script and style, update.js and
# update.wasm); build/emulated the emulated target for tests and the demo, which is never hosted.
if(NOT EMSCRIPTEN)
  message(FATAL_ERROR "The web edition is built with emscripten: emcmake cmake -S web -B build-web")
endif()

set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
get_filename_component(UPDATE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(WEB_SOURCE ${UPDATE_ROOT}/web)
set(EMULATED_WEB_SOURCE ${UPDATE_ROOT}/emulated/web)
set(SITE_DIR ${CMAKE_BINARY_DIR}/site)
set(EMULATED_DIR ${CMAKE_BINARY_DIR}/emulated)

option(UPDATE_WERROR "Treat warnings as errors" OFF)
add_compile_options(-Wall -Wextra -O2)
if(UPDATE_WERROR)
  add_compile_options(-Werror)
endif()

# Linked for a page, not for node; no eval anywhere, so that the page's security policy can forbid it;
# the memory the program needs is known (the image's 128 KiB is static), so it never grows.
set(WEB_LINK_OPTIONS -O2 -sENVIRONMENT=web -sDYNAMIC_EXECUTION=0 -sINITIAL_MEMORY=4MB -sTOTAL_STACK=512KB)

# The program: the console program's own logic with the browser's MIDI, sleep, key wait and main.
# The POSIX image search runs on emscripten's in-memory file system, into which the page puts the
# chosen files.
set(UPDATE_PLATFORM web)
include(${UPDATE_ROOT}/cmake/sources.cmake)
add_executable(update ${UPDATE_LOGIC_SOURCES} ${UPDATE_ROOT}/midi/platform_web.cpp
  ${UPDATE_ROOT}/update/main_web.cpp)
target_include_directories(update PRIVATE ${UPDATE_ROOT})
set(UPDATE_PRE_JS ${WEB_SOURCE}/midi_web.pre.js)
target_link_options(update PRIVATE ${WEB_LINK_OPTIONS}
  -sASYNCIFY -sASYNCIFY_STACK_SIZE=16384 -sFORCE_FILESYSTEM=1 -sINVOKE_RUN=0 -sEXIT_RUNTIME=0
  "-sEXPORTED_RUNTIME_METHODS=['FS','callMain']"
  "-sEXPORTED_FUNCTIONS=['_main','_webMidiReceived']"
  --pre-js ${UPDATE_PRE_JS})
set_target_properties(update PROPERTIES SUFFIX .js RUNTIME_OUTPUT_DIRECTORY ${SITE_DIR}
  LINK_DEPENDS ${UPDATE_PRE_JS})

# The emulated target's model and behaviour, as everywhere else, in a module of its own.
add_executable(target ${EMULATED_MODEL_SOURCES} ${EMULATED_WEB_SOURCE}/target_web.cpp)
target_include_directories(target PRIVATE ${UPDATE_ROOT})
target_link_options(target PRIVATE ${WEB_LINK_OPTIONS}
  -sMODULARIZE -sEXPORT_NAME=createEmulatedTarget -sALLOW_MEMORY_GROWTH=1
  "-sEXPORTED_RUNTIME_METHODS=['UTF8ToString','stringToUTF8','lengthBytesUTF8']"
  "-sEXPORTED_FUNCTIONS=['_malloc','_free']")
set_target_properties(target PROPERTIES SUFFIX .js RUNTIME_OUTPUT_DIRECTORY ${EMULATED_DIR})

# The page's static files, and the emulated target's script and demo page, copied on every build.
set(SITE_FILES index.html page.js page.css)
set(EMULATED_FILES emulated-midi.js demo-setup.js)
set(copied)
foreach(file ${SITE_FILES})
  add_custom_command(OUTPUT ${SITE_DIR}/${file} DEPENDS ${WEB_SOURCE}/site/${file}
    COMMAND ${CMAKE_COMMAND} -E copy ${WEB_SOURCE}/site/${file} ${SITE_DIR}/${file})
  list(APPEND copied ${SITE_DIR}/${file})
endforeach()
foreach(file ${EMULATED_FILES})
  add_custom_command(OUTPUT ${EMULATED_DIR}/${file} DEPENDS ${EMULATED_WEB_SOURCE}/${file}
    COMMAND ${CMAKE_COMMAND} -E copy ${EMULATED_WEB_SOURCE}/${file} ${EMULATED_DIR}/${file})
  list(APPEND copied ${EMULATED_DIR}/${file})
endforeach()
add_custom_target(web_files ALL DEPENDS ${copied})
