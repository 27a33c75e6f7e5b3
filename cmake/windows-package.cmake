# `make package-windows`: a zip with the two programs, the default fonts of the
# Linux build, the example pages, play.cmd and a text on running them. The
# programs sit beside the fonts, since the preview reads them from its working
# directory. The text and the script get Windows line ends, as Notepad and cmd
# expect.
install(TARGETS vantrel-preview vantrel-send RUNTIME DESTINATION .)
set(installed_fonts)
foreach(slot RANGE 1 7)
    list(APPEND installed_fonts ${VANTREL_FONT_DIR}/FONT0${slot}.tiga
                                ${VANTREL_FONT_DIR}/SHDT0${slot}.tiga)
endforeach()
install(FILES ${installed_fonts} DESTINATION .)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION examples
        PATTERN play EXCLUDE)  # a POSIX shell script; play.cmd plays them on Windows
configure_file(${PROJECT_SOURCE_DIR}/docs/windows.txt ${CMAKE_BINARY_DIR}/package/README.txt @ONLY
               NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/docs/play.cmd ${CMAKE_BINARY_DIR}/package/play.cmd @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/package/README.txt ${CMAKE_BINARY_DIR}/package/play.cmd
        DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_SYSTEM_NAME windows-x64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)  # the debug information stays in build-windows/bin
include(CPack)
