# What `cmake --install` puts where (prefix-relative; /usr/local by default):
#   bin/                         the programs
#   lib/ (LIBDIR)                libisiclient.a and libisiclient.so, the protocol client library
#   include/isiclient/           its public headers, as "isi/isi.h" and the headers they include
#   LIBDIR/cmake/isiclient/      the package configuration for find_package(isiclient)
#   LIBDIR/pkgconfig/            isiclient.pc
#   share/doc/waveform-tools/    README, the change log (changelog.gz), the copyright file and the
#                                commented example settings files
#   lib/systemd/system/          rillet@.service, one recorder per instance
#   share/man/man1/              the manual pages (Manpages.cmake)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(KVR_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/waveform-tools)

# ---- the protocol client library, one archive and one shared object ----------------------------
set(ISICLIENT_PARTS platform util logio iacp isi)
set(isiclientObjects)
foreach(part ${ISICLIENT_PARTS})
    list(APPEND isiclientObjects $<TARGET_OBJECTS:${part}>)
endforeach()

add_library(isiclient_static STATIC ${isiclientObjects})
add_library(isiclient_shared SHARED ${isiclientObjects})
foreach(lib isiclient_static isiclient_shared)
    set_target_properties(${lib} PROPERTIES OUTPUT_NAME isiclient EXPORT_NAME ${lib})
    target_link_libraries(${lib} PUBLIC Threads::Threads)
    target_include_directories(${lib} INTERFACE
        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/isiclient>)
endforeach()
set_target_properties(isiclient_shared PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_link_options(isiclient_shared PRIVATE -Wl,--no-undefined)

install(TARGETS isiclient_static isiclient_shared EXPORT isiclientTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
        NAMELINK_COMPONENT dev)
foreach(part ${ISICLIENT_PARTS})
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${part}/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/isiclient/${part} COMPONENT dev
        FILES_MATCHING PATTERN "*.h" PATTERN "private.h" EXCLUDE PATTERN "internal.h" EXCLUDE)
endforeach()

install(EXPORT isiclientTargets NAMESPACE isiclient::
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/isiclient COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/templates/isiclientConfig.cmake.in
    ${PROJECT_BINARY_DIR}/isiclientConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/isiclient)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/isiclientConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/isiclientConfig.cmake
    ${PROJECT_BINARY_DIR}/isiclientConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/isiclient COMPONENT dev)

# The prefix is found from where the .pc file lies, so an installed tree may be moved.
file(RELATIVE_PATH ISICLIENT_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
    ${CMAKE_INSTALL_PREFIX})
configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/isiclient.pc.in
    ${PROJECT_BINARY_DIR}/isiclient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/isiclient.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# ---- programs ---------------------------------------------------------------------------------
foreach(program rillet rillet-headless gleaner tremlive isicat kvrdb isi-sim)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    endif()
endforeach()

# ---- documents, examples and the service ------------------------------------------------------
# The change log under Debian's name for it, compressed (-n: the same bytes from every build).
find_program(KVR_GZIP gzip)
if(KVR_GZIP)
    set(changelog ${PROJECT_BINARY_DIR}/changelog.gz)
    add_custom_command(OUTPUT ${changelog}
        COMMAND ${KVR_GZIP} -9 -n -c ${PROJECT_SOURCE_DIR}/ChangeLog > ${changelog}
        DEPENDS ${PROJECT_SOURCE_DIR}/ChangeLog)
else()
    set(changelog ${PROJECT_BINARY_DIR}/changelog)
    configure_file(${PROJECT_SOURCE_DIR}/ChangeLog ${changelog} COPYONLY)
endif()
add_custom_target(changelog ALL DEPENDS ${changelog})
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${changelog} ${PROJECT_SOURCE_DIR}/dist/copyright
    DESTINATION ${KVR_DOCDIR} COMPONENT runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
    DESTINATION ${KVR_DOCDIR}/examples COMPONENT runtime)

# The service runs the recorder without its window, which loads no Qt (a third of the memory).
if(TARGET rillet-headless)
    set(RILLET_BINARY ${CMAKE_INSTALL_FULL_BINDIR}/rillet-headless)
else()
    set(RILLET_BINARY ${CMAKE_INSTALL_FULL_BINDIR}/rillet)
endif()
set(RILLET_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/waveform-tools)
set(RILLET_STATE_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/rillet)
configure_file(${PROJECT_SOURCE_DIR}/dist/rillet@.service.in
    ${PROJECT_BINARY_DIR}/dist/rillet@.service @ONLY)
if(TARGET rillet OR TARGET rillet-headless)
    install(FILES ${PROJECT_BINARY_DIR}/dist/rillet@.service
        DESTINATION lib/systemd/system COMPONENT runtime)
endif()

include(Manpages)

# ---- the Debian package (./run package) -------------------------------------------------------
# Shared-library dependencies are found by dpkg-shlibdeps; the ODBC drivers are loaded at run
# time by name, so they are declared by hand. Binaries are stripped; the shared library gets a
# shlibs file and the ldconfig trigger (dist/triggers).
set(KVR_PACKAGE_CONTACT "Waveform tools maintainers <waveform-tools@example.org>"
    CACHE STRING "Maintainer of the Debian package, \"Name <address>\"")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME waveform-tools)
set(CPACK_PACKAGE_VENDOR "Seismological data centre")
set(CPACK_PACKAGE_CONTACT "${KVR_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ISI waveform tools: live viewer, fetcher and recorder")
# Lines of at most 80 characters, as Debian's tools show them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Tremlive shows live traces of an ISI server, Gleaner fetches a time window"
    "into KVR 4.0 files, Rillet records station disk loops of KVR 2.0 files"
    "unattended; all register their files in a KVR catalogue over ODBC (SQLite"
    "or PostgreSQL), which kvrdb sets up, checks and exports as miniSEED."
    "Includes the ISI protocol client library, isicat and the stand-in server"
    "isi-sim.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/triggers)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "unixodbc, libsqliteodbc | odbc-postgresql")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "odbc-postgresql, sqlite3")
set(CPACK_DEB_COMPONENT_INSTALL OFF)
include(CPack)
