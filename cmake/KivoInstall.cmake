# Installation: the programs with their desktop entry, icons, metadata and manual pages, the
# simulated phone, and the serial component as a library with its headers and a CMake
# package, so that another project can
#   find_package(Kivo)  and  target_link_libraries(app PRIVATE Kivo::serial).
# Three install components, one per Debian package (debian/rules): programs (kivo),
# phonesim (kivo-phonesim) and development (kivo-dev).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KIVO_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KIVO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kivo)
set(KIVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kivo)
# The examples kivo-dev ships (debian/kivo-dev.examples), each a CMake project of its own whose
# program has the folder's name.
set(KIVO_EXAMPLES serial-monitor phone-identity port-watch line-terminal)

# ---- Programs ----
foreach(program kivo kivo-read)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
    endif()
endforeach()
if(TARGET kivo-phonesim)
    install(TARGETS kivo-phonesim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT phonesim)
endif()

# Manual pages and shell completion, where the tree has them.
foreach(page kivo:programs kivo-read:programs kivo-phonesim:phonesim)
    string(REPLACE ":" ";" page ${page})
    list(GET page 0 name)
    list(GET page 1 component)
    if(TARGET ${name} AND NOT WIN32 AND EXISTS ${CMAKE_SOURCE_DIR}/docs/man/${name}.1)
        install(FILES ${CMAKE_SOURCE_DIR}/docs/man/${name}.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
    endif()
endforeach()
if(TARGET kivo-read AND NOT WIN32 AND EXISTS ${KIVO_PACKAGING_DIR}/bash-completion/kivo-read)
    install(FILES ${KIVO_PACKAGING_DIR}/bash-completion/kivo-read
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT programs)
endif()

# The desktop entry, its icon at every size drawn (packaging/icons/render.sh) and the
# AppStream description.
if(TARGET kivo AND NOT WIN32)
    install(FILES ${KIVO_PACKAGING_DIR}/kivo.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT programs)
    install(FILES ${KIVO_PACKAGING_DIR}/kivo.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT programs)
    foreach(size 16 24 32 48 64 128 256)
        install(FILES ${KIVO_PACKAGING_DIR}/icons/kivo-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME kivo.png COMPONENT programs)
    endforeach()
    install(FILES ${KIVO_PACKAGING_DIR}/org.kivo_project.kivo.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT programs)
endif()

# Windows: kivo.exe is a GUI program (no console beside the window), kivo-read.exe a console
# one; both carry the icon, a version resource and the manifest (packaging/windows/
# kivo.manifest), and release builds are stripped.
function(kivo_windows_resources target description)
    if(NOT TARGET ${target})
        return()
    endif()
    set(KIVO_ICON_FILE ${KIVO_PACKAGING_DIR}/icons/kivo.ico)
    set(KIVO_RC_NAME ${target})
    set(KIVO_RC_DESCRIPTION "${description}")
    configure_file(${KIVO_PACKAGING_DIR}/windows/version.rc.in
        ${CMAKE_BINARY_DIR}/packaging/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/packaging/${target}.rc
        ${KIVO_MANIFEST_RC})
    target_link_options(${target} PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)
endfunction()
if(WIN32)
    kivo_windows_resources(kivo "KIVO phone identity reader")
    kivo_windows_resources(kivo-read "KIVO phone identity reader (command line)")
    if(TARGET kivo)
        set_target_properties(kivo PROPERTIES WIN32_EXECUTABLE ON)
    endif()
endif()

# The HTML reference: Doxygen over the given headers and docs/reference/mainpage.md (warnings
# are errors). With KIVO_BUILD_REFERENCE it is built with the build and installed in kivo-dev's
# documentation folder; without, a test builds it where Doxygen is at hand, so that a header
# change that leaves a public member undocumented fails the tests.
function(kivo_add_reference)
    if(KIVO_BUILD_REFERENCE)
        find_package(Doxygen REQUIRED doxygen)
    else()
        find_package(Doxygen QUIET COMPONENTS doxygen)
        if(NOT DOXYGEN_FOUND OR NOT KIVO_BUILD_TESTS)
            return()
        endif()
    endif()
    set(reference ${CMAKE_SOURCE_DIR}/docs/reference)
    set(KIVO_REFERENCE_OUTPUT ${CMAKE_BINARY_DIR}/docs/reference)
    set(KIVO_REFERENCE_MAINPAGE ${reference}/mainpage.md)
    set(KIVO_REFERENCE_FILTER ${reference}/doc-comments.awk)
    set(KIVO_REFERENCE_STRIP ${CMAKE_SOURCE_DIR})
    list(JOIN ARGN " " KIVO_REFERENCE_INPUT)
    string(PREPEND KIVO_REFERENCE_INPUT "${KIVO_REFERENCE_MAINPAGE} ")
    configure_file(${reference}/Doxyfile.in ${KIVO_REFERENCE_OUTPUT}/Doxyfile @ONLY)
    if(NOT KIVO_BUILD_REFERENCE)
        add_test(NAME reference.EveryInstalledHeaderIsDocumented
            COMMAND Doxygen::doxygen ${KIVO_REFERENCE_OUTPUT}/Doxyfile
            WORKING_DIRECTORY ${KIVO_REFERENCE_OUTPUT})
        set_tests_properties(reference.EveryInstalledHeaderIsDocumented PROPERTIES
            LABELS reference)
        return()
    endif()
    add_custom_command(OUTPUT ${KIVO_REFERENCE_OUTPUT}/html/index.html
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${KIVO_REFERENCE_OUTPUT}/html
        COMMAND Doxygen::doxygen ${KIVO_REFERENCE_OUTPUT}/Doxyfile
        DEPENDS ${ARGN} ${KIVO_REFERENCE_MAINPAGE} ${KIVO_REFERENCE_FILTER}
            ${reference}/Doxyfile.in
        WORKING_DIRECTORY ${KIVO_REFERENCE_OUTPUT}
        COMMENT "HTML reference of the installed headers (Doxygen)" VERBATIM)
    add_custom_target(kivo_reference ALL DEPENDS ${KIVO_REFERENCE_OUTPUT}/html/index.html)
    install(DIRECTORY ${KIVO_REFERENCE_OUTPUT}/html
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kivo-dev COMPONENT development)
endfunction()

# ---- The component as a library ----
# (A tree checked out without the component, for work on the runtime alone, has none.)
if(TARGET kivo_serial)
    # The archives the component is made of, in link order; on Windows the platform calls come
    # from the system, so there is no platform archive.
    # On Windows the platform target only names the system's calls: it has no archive.
    # The notice of ports (Kivo::ports) and the port list (Kivo::serial_ports) come first: they
    # use the others.
    set(KIVO_PACKAGE_LIBRARIES kivo_ports kivo_serial_ports kivo_serial kivo_runtime kivo_platform)
    # Archives of a sanitizer build are used with the same sanitizer.
    set(KIVO_PACKAGE_SANITIZER_FLAGS "")
    if(KIVO_SANITIZER STREQUAL "address")
        set(KIVO_PACKAGE_SANITIZER_FLAGS "-fsanitize=address,undefined")
    elseif(KIVO_SANITIZER STREQUAL "thread")
        set(KIVO_PACKAGE_SANITIZER_FLAGS "-fsanitize=thread")
    endif()
    foreach(library ${KIVO_PACKAGE_LIBRARIES})
        string(REPLACE "kivo_" "" exported ${library})
        set_target_properties(${library} PROPERTIES EXPORT_NAME ${exported})
        target_compile_features(${library} INTERFACE cxx_std_20)
        if(KIVO_PACKAGE_SANITIZER_FLAGS)
            target_compile_options(${library} INTERFACE
                $<INSTALL_INTERFACE:${KIVO_PACKAGE_SANITIZER_FLAGS}>)
            target_link_options(${library} INTERFACE
                $<INSTALL_INTERFACE:${KIVO_PACKAGE_SANITIZER_FLAGS}>)
        endif()
    endforeach()
    install(TARGETS ${KIVO_PACKAGE_LIBRARIES} EXPORT KivoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        INCLUDES DESTINATION ${KIVO_INSTALL_INCLUDEDIR})

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
    # Of the platform layer only the port list, which names no system type; the notice of
    # ports beside the component.
    install(FILES ${CMAKE_SOURCE_DIR}/platform/SerialPorts.h
        DESTINATION ${KIVO_INSTALL_INCLUDEDIR}/platform COMPONENT development)
    install(FILES ${CMAKE_SOURCE_DIR}/serial/SerialPortNotice.h
        DESTINATION ${KIVO_INSTALL_INCLUDEDIR}/serial COMPONENT development)
    set(KIVO_PORTS_HEADERS ${CMAKE_SOURCE_DIR}/platform/SerialPorts.h
        ${CMAKE_SOURCE_DIR}/serial/SerialPortNotice.h)

    # The HTML reference of exactly the installed headers (docs/reference), with kivo-dev.
    option(KIVO_BUILD_REFERENCE "Build the HTML reference of the installed headers (Doxygen)" OFF)
    kivo_add_reference(${KIVO_RUNTIME_HEADERS} ${KIVO_SERIAL_HEADERS} ${KIVO_PORTS_HEADERS})

    # The package's targets are exported from the build's own, so the two cannot drift.
    install(EXPORT KivoTargets NAMESPACE Kivo:: DESTINATION ${KIVO_INSTALL_CMAKEDIR}
        COMPONENT development)
    configure_package_config_file(${KIVO_PACKAGING_DIR}/KivoConfig.cmake.in
        ${CMAKE_BINARY_DIR}/packaging/KivoConfig.cmake
        INSTALL_DESTINATION ${KIVO_INSTALL_CMAKEDIR})
    write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/KivoConfigVersion.cmake
        VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
    # The same for pkg-config; the prefix is found from the file's own place, so the package
    # can be installed anywhere.
    # The port list needs libudev on Linux (Requires), SetupAPI, cfgmgr32 and user32 on Windows.
    set(KIVO_PC_LIBS -lkivo_ports -lkivo_serial_ports -lkivo_serial -lkivo_runtime)
    if(WIN32)
        list(APPEND KIVO_PC_LIBS -lsetupapi -lcfgmgr32 -luser32)
        set(KIVO_PC_REQUIRES "")
    else()
        list(APPEND KIVO_PC_LIBS -lkivo_platform)
        set(KIVO_PC_REQUIRES "Requires: libudev\n")
    endif()
    list(JOIN KIVO_PC_LIBS " " KIVO_PC_LIBS)
    file(RELATIVE_PATH KIVO_PC_PREFIX_FROM_PCDIR
        /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
    string(REGEX REPLACE "/$" "" KIVO_PC_PREFIX_FROM_PCDIR ${KIVO_PC_PREFIX_FROM_PCDIR})
    if(KIVO_PACKAGE_SANITIZER_FLAGS)
        string(APPEND KIVO_PC_LIBS " -pthread ${KIVO_PACKAGE_SANITIZER_FLAGS}")
        set(KIVO_PC_CFLAGS " ${KIVO_PACKAGE_SANITIZER_FLAGS}")
    else()
        string(APPEND KIVO_PC_LIBS " -pthread")
        set(KIVO_PC_CFLAGS "")
    endif()
    configure_file(${KIVO_PACKAGING_DIR}/kivo.pc.in ${CMAKE_BINARY_DIR}/packaging/kivo.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/kivo.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
    install(FILES
        ${CMAKE_BINARY_DIR}/packaging/KivoConfig.cmake
        ${CMAKE_BINARY_DIR}/packaging/KivoConfigVersion.cmake
        DESTINATION ${KIVO_INSTALL_CMAKEDIR} COMPONENT development)

    # The examples, built with the build's own targets under the package's names, so that a
    # change that breaks one fails the build; the package test builds them again against the
    # installed package alone.
    foreach(library ${KIVO_PACKAGE_LIBRARIES})
        get_target_property(exported ${library} EXPORT_NAME)
        add_library(Kivo::${exported} ALIAS ${library})
    endforeach()
    option(KIVO_BUILD_EXAMPLES "Build the examples of examples/" ${KIVO_BUILD_TESTS})
    if(KIVO_BUILD_EXAMPLES)
        foreach(example ${KIVO_EXAMPLES})
            add_subdirectory(${CMAKE_SOURCE_DIR}/examples/${example}
                ${CMAKE_BINARY_DIR}/examples/${example})
            kivo_target_defaults(${example})
        endforeach()
    endif()

    # The test that installs into a scratch prefix and builds the examples against it.
    if(KIVO_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
        add_subdirectory(${CMAKE_SOURCE_DIR}/tests/package ${CMAKE_BINARY_DIR}/tests/package)
    endif()
endif()
