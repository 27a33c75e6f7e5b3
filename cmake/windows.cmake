# The Windows build: cross-compiled with mingw-w64 (cmake/mingw-w64-x86_64.cmake),
# its tests run under Wine. It has no window library, font maker or snapshot tool
# of its own: the fonts, the snapshot tool and the end-to-end test driver come
# from the Linux build in VANTREL_HOST_BUILD.

# jsmn is one header; a copy keeps the host's /usr/include off the cross
# compiler's include path.
find_file(VANTREL_JSMN_HEADER jsmn.h PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
          REQUIRED)
configure_file(${VANTREL_JSMN_HEADER} ${CMAKE_BINARY_DIR}/jsmn/jsmn.h COPYONLY)
set(JSMN_INCLUDE_DIR ${CMAKE_BINARY_DIR}/jsmn)

# libgcc, libstdc++ and winpthread linked in, so the .exe files need no DLLs.
add_link_options(-static)

set(VANTREL_HOST_BUILD ${PROJECT_SOURCE_DIR}/build CACHE PATH
    "Linux build that made the default fonts and vantrel-snapshot")
set(VANTREL_FONT_DIR ${VANTREL_HOST_BUILD}/fonts CACHE INTERNAL "Default font set of the Linux build")

# Wine keeps its prefix, its home and its temporary files inside the build
# folder, asks nothing (no Mono or Gecko installer) and prints nothing of its own.
set(VANTREL_WINE_ROOT ${CMAKE_BINARY_DIR}/wine)
find_program(VANTREL_WINE wine REQUIRED)
set(VANTREL_WINE_ENV
    WINEPREFIX=${VANTREL_WINE_ROOT}/prefix
    HOME=${VANTREL_WINE_ROOT}/home
    TMPDIR=${VANTREL_WINE_ROOT}/tmp
    WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml=")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env ${VANTREL_WINE_ENV} ${VANTREL_WINE})
