# The packages some programs need and the rest of the tree does without, looked for once:
#   KVR_HAVE_QT       Qt 6 Widgets (Tremlive, Gleaner's dialogs, Rillet's window)
#   KVR_HAVE_MSEED    libmseed (isi-sim --mseed, kvrdb export); LIBMSEED_INCLUDE_DIR, LIBMSEED_LIBRARY
# and, for a cross build, the header-only CLI11 of the build host as the target CLI11::CLI11.

find_package(Qt6 QUIET COMPONENTS Gui Widgets)
if(Qt6Widgets_FOUND)
    set(KVR_HAVE_QT ON)
else()
    set(KVR_HAVE_QT OFF)
    message(STATUS "Qt 6 Widgets not found: Tremlive, Gleaner's dialogs and Rillet's window are skipped")
endif()

find_path(LIBMSEED_INCLUDE_DIR libmseed.h)
find_library(LIBMSEED_LIBRARY mseed)
if(LIBMSEED_INCLUDE_DIR AND LIBMSEED_LIBRARY)
    set(KVR_HAVE_MSEED ON)
else()
    set(KVR_HAVE_MSEED OFF)
    message(STATUS "libmseed not found: isi-sim --mseed and kvrdb export are skipped")
endif()

# CLI11 is headers only. A cross build cannot take the host's package (it would put the host's
# whole include folder on the target's path), so it gets a folder holding only CLI/.
find_package(CLI11 CONFIG QUIET)
if(NOT CLI11_FOUND AND CMAKE_CROSSCOMPILING)
    find_path(KVR_HOST_CLI11_DIR CLI/CLI.hpp PATHS /usr/include /usr/local/include
        NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT KVR_HOST_CLI11_DIR)
        message(FATAL_ERROR "CLI11 not found (Debian: libcli11-dev)")
    endif()
    set(cli11_dir ${PROJECT_BINARY_DIR}/cross-include)
    file(MAKE_DIRECTORY ${cli11_dir})
    file(CREATE_LINK ${KVR_HOST_CLI11_DIR}/CLI ${cli11_dir}/CLI SYMBOLIC)
    file(WRITE ${PROJECT_BINARY_DIR}/cross-cli11/CLI11Config.cmake
        "if(NOT TARGET CLI11::CLI11)\n"
        "  add_library(CLI11::CLI11 INTERFACE IMPORTED)\n"
        "  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${cli11_dir})\n"
        "endif()\n")
    set(CLI11_DIR ${PROJECT_BINARY_DIR}/cross-cli11 CACHE PATH "" FORCE)
    find_package(CLI11 CONFIG REQUIRED)
endif()
