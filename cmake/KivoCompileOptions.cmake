# Compile options shared by every target of the project: strict warnings and the
# sanitizer of the chosen preset. Targets opt in with kivo_target_defaults().

# Warnings are errors while developing; a distribution's build (debian/rules) turns that off,
# since a newer compiler may warn about code that was clean when it was released.
option(KIVO_WERROR "Treat compiler warnings as errors" ON)

add_library(kivo_options INTERFACE)
target_include_directories(kivo_options INTERFACE ${CMAKE_SOURCE_DIR})
target_compile_options(kivo_options INTERFACE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wpedantic>
    $<$<AND:$<CXX_COMPILER_ID:GNU,Clang>,$<BOOL:${KIVO_WERROR}>>:-Werror>
    # GCC 12, optimising, reports std::string's own copies as overlapping (GCC bug 105329).
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>,$<NOT:$<CONFIG:Debug>>>:-Wno-restrict>)

if(KIVO_SANITIZER STREQUAL "address")
    target_compile_options(kivo_options INTERFACE
        -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(kivo_options INTERFACE -fsanitize=address,undefined)
elseif(KIVO_SANITIZER STREQUAL "thread")
    target_compile_options(kivo_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(kivo_options INTERFACE -fsanitize=thread)
elseif(NOT KIVO_SANITIZER STREQUAL "")
    message(FATAL_ERROR "KIVO_SANITIZER must be empty, 'address' or 'thread'")
endif()

find_package(Threads REQUIRED)
target_link_libraries(kivo_options INTERFACE Threads::Threads)

# The options are the build's own: an installed library does not pass them on.
function(kivo_target_defaults target)
    target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:kivo_options>)
endfunction()
