# Installation and packaging: the programs with their desktop entry and icon, and the serial
# component as a library with its headers and a CMake package, so that another project can
#   find_package(Kivo)  and  target_link_libraries(app PRIVATE Kivo::serial).
# CPack turns it into two Debian packages: kivo (the programs) and kivo-dev (the library).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KIVO_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KIVO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kivo)
set(KIVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kivo)

# ---- Programs ----
foreach(program kivo kivo-read kivo-phonesim)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
    endif()
endforeach()
if(TARGET kivo AND NOT WIN32)
    install(FILES ${KIVO_PACKAGING_DIR}/kivo.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT programs)
    install(FILES ${KIVO_PACKAGING_DIR}/kivo.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT programs)
endif()

# ---- The component as a library ----
# (A tree checked out without the component, for work on the runtime alone, has none.)
if(TARGET kivo_serial)
    # The archives the component is made of, in link order; on Windows the platform calls come
    # from the system, so there is no platform archive.
    set(KIVO_PACKAGE_LIBRARIES kivo_serial kivo_runtime)
    if(NOT WIN32)
        list(APPEND KIVO_PACKAGE_LIBRARIES kivo_platform)
    endif()
    install(TARGETS ${KIVO_PACKAGE_LIBRARIES}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)

    # Headers keep their folders, so that users include them as the component does:
    # "serial/VaComm.h". Only what a user of the component needs is installed: no header
    # that reaches the platform's Win32 declarations (the component's private header, its
    # synchronisation objects and utilities, the platform layer).
    file(GLOB KIVO_RUNTIME_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/runtime/*.h)
    set(KIVO_SERIAL_HEADERS VaClasses.h VaComm.h VaConst.h VaPrst.h VaTypes.h)
    list(TRANSFORM KIVO_SERIAL_HEADERS PREPEND ${CMAKE_SOURCE_DIR}/serial/)
    install(FILES ${KIVO_RUNTIME_HEADERS}
        DESTINATION ${KIVO_INSTALL_INCLUDEDIR}/runtime COMPONENT development)
    install(FILES ${KIVO_SERIAL_HEADERS}
        DESTINATION ${KIVO_INSTALL_INCLUDEDIR}/serial COMPONENT development)

    # The package's imported targets are written by hand rather than exported: the build's
    # targets carry the source tree as their include folder, which an installed package must
    # not name. Archives of a sanitizer build are used with the same sanitizer.
    set(KIVO_PACKAGE_SANITIZER_FLAGS "")
    if(KIVO_SANITIZER STREQUAL "address")
        set(KIVO_PACKAGE_SANITIZER_FLAGS "-fsanitize=address,undefined")
    elseif(KIVO_SANITIZER STREQUAL "thread")
        set(KIVO_PACKAGE_SANITIZER_FLAGS "-fsanitize=thread")
    endif()
    set(KIVO_LIBRARY_PREFIX ${CMAKE_STATIC_LIBRARY_PREFIX})
    set(KIVO_LIBRARY_SUFFIX ${CMAKE_STATIC_LIBRARY_SUFFIX})
    configure_package_config_file(${KIVO_PACKAGING_DIR}/KivoConfig.cmake.in
        ${CMAKE_BINARY_DIR}/packaging/KivoConfig.cmake
        INSTALL_DESTINATION ${KIVO_INSTALL_CMAKEDIR}
        PATH_VARS CMAKE_INSTALL_LIBDIR KIVO_INSTALL_INCLUDEDIR)
    write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/KivoConfigVersion.cmake
        VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
    install(FILES
        ${CMAKE_BINARY_DIR}/packaging/KivoConfig.cmake
        ${CMAKE_BINARY_DIR}/packaging/KivoConfigVersion.cmake
        DESTINATION ${KIVO_INSTALL_CMAKEDIR} COMPONENT development)

    # The test that installs into a scratch prefix and builds the example against it.
    if(KIVO_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
        add_subdirectory(${CMAKE_SOURCE_DIR}/tests/package ${CMAKE_BINARY_DIR}/tests/package)
    endif()
endif()

# ---- Debian packages (cpack -G DEB) ----
set(CPACK_PACKAGE_NAME kivo)
set(CPACK_PACKAGE_VENDOR "KIVO")
set(CPACK_PACKAGE_CONTACT "KIVO maintainers <kivo@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL programs development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME kivo)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION comm)
# Each package's description: its summary line, then the longer text.
string(CONCAT CPACK_DEBIAN_PROGRAMS_DESCRIPTION
    "Reads the identification data of a GSM phone or modem on a serial port\n"
    "A small window (and the command-line reader kivo-read) asks a phone or modem on a\n"
    "serial port for its manufacturer, model, revision and serial number with AT\n"
    "commands. kivo-phonesim simulates a phone on a pseudo-terminal.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME kivo-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
string(CONCAT CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "Serial port component of KIVO (static library and headers)\n"
    "TVaComm, a serial port component with an event thread and a write thread, written\n"
    "against the Win32 serial API, with a POSIX layer providing that API over termios.\n"
    "Use it from CMake with find_package(Kivo) and the target Kivo::serial.")
find_program(KIVO_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KIVO_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS
        "libc6, libstdc++6, libgcc-s1, libqt6core6, libqt6gui6, libqt6widgets6")
endif()
include(CPack)
