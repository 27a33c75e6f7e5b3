# What the Windows cross build needs in place of the Linux packages: the jsmn
# header, static runtime libraries and the Wine runner for the tests. SDL2,
# FreeType, libpng and Google Benchmark are Linux-only here: the window is
# Win32, and the fonts come from the Linux build.

# jsmn is one header: copied into the build tree, so the host's /usr/include
# never lands on the cross compiler's include path.
find_file(VANTREL_JSMN_HEADER jsmn.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH
          REQUIRED)
set(JSMN_INCLUDE_DIR ${CMAKE_BINARY_DIR}/jsmn)
configure_file(${VANTREL_JSMN_HEADER} ${JSMN_INCLUDE_DIR}/jsmn.h COPYONLY)

# libgcc, libstdc++ and winpthread linked in, so the .exe files need no DLLs
# beside them.
add_link_options(-static)

# The tests run under Wine, with its prefix, home and temporary files inside
# the build folder (scripts/wine-run).
set(VANTREL_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run ${VANTREL_WINE_DIR})

# The default fonts made by the Linux build (`make test-windows` builds them).
set(VANTREL_FONT_DIR ${PROJECT_SOURCE_DIR}/build/fonts CACHE PATH "Default font set made by the Linux build")
