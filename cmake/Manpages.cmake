# Manual pages, made at build time by help2man from each program's --help and --version, the
# sections help2man cannot take from them (man/NAME.h2m: files, environment, exit statuses,
# examples), and a COMMANDS section with every subcommand's options taken from its own --help
# (man/commands.sh). Installed under share/man/man1, compressed with gzip as Debian's packages
# have them (plain where gzip is missing). Without help2man the pages are left out, with a
# message.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
if(NOT HELP2MAN)
    message(STATUS "help2man not found: no manual pages")
    return()
endif()

set(KVR_MAN_NAMES
    "rillet=continuous recorder of ISI streams into KVR 2.0 disk loops"
    "gleaner=fetch a time window of ISI streams into KVR 4.0 files and FILELIST rows"
    "tremlive=live viewer of the channels of an ISI server"
    "isicat=ISI client for the command line"
    "kvrdb=set up, fill, check and export the KVR catalogue"
    "isi-sim=stand-in ISI server")
set(pages)
foreach(entry ${KVR_MAN_NAMES})
    string(FIND "${entry}" "=" eq)
    string(SUBSTRING "${entry}" 0 ${eq} program)
    math(EXPR after "${eq} + 1")
    string(SUBSTRING "${entry}" ${after} -1 summary)
    if(NOT TARGET ${program})
        continue()
    endif()
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    set(include ${PROJECT_BINARY_DIR}/man/${program}.h2m)
    # The Qt programs answer --help and --version before they look for a display; the offscreen
    # platform keeps a build without one safe all the same.
    add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${PROJECT_SOURCE_DIR}/man/commands.sh ${HELP2MAN} $<TARGET_FILE:${program}> ${program}
            ${PROJECT_SOURCE_DIR}/man/${program}.h2m ${include}
        COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${HELP2MAN} --no-info --section=1 --name=${summary}
            --include=${include} --output=${page}
            $<TARGET_FILE:${program}>
        DEPENDS ${program} ${PROJECT_SOURCE_DIR}/man/${program}.h2m
            ${PROJECT_SOURCE_DIR}/man/commands.sh
        COMMENT "Manual page ${program}.1"
        VERBATIM)
    list(APPEND pages ${page})
endforeach()
# rillet-headless is rillet without its window: its page is rillet's.
if(TARGET rillet-headless AND TARGET rillet)
    file(WRITE ${PROJECT_BINARY_DIR}/man/rillet-headless.1 ".so man1/rillet.1\n")
    list(APPEND pages ${PROJECT_BINARY_DIR}/man/rillet-headless.1)
endif()
if(GZIP)
    # -n leaves out the name and time, so that two builds make the same files.
    set(compressed)
    foreach(page ${pages})
        add_custom_command(OUTPUT ${page}.gz
            COMMAND ${GZIP} -9 -n -f -k ${page}
            DEPENDS ${page}
            VERBATIM)
        list(APPEND compressed ${page}.gz)
    endforeach()
    set(pages ${compressed})
endif()
add_custom_target(manpages ALL DEPENDS ${pages})
install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
