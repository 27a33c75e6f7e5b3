# The Windows build's application tests: the headless frame composition as a
# runner of its own, and the end to end test, which is the Linux build's driver
# (Xvfb, vantrel-snapshot) running vantrel-preview.exe under Wine, with a
# window manager on the display: without one, Wine's DestroyWindow waits 2 s
# for a withdraw that never comes. Wine binds its desktop to the display of the
# first program its server runs, so these tests have a prefix of their own,
# whose server each test process ends with its display (VANTREL_E2E_WINESERVER).
vantrel_test_runner(app_tests compose_test.cpp blend_test.cpp)
target_link_libraries(app_tests PRIVATE vantrel_app vantrel_feed vantrel_fonts)
target_compile_definitions(app_tests PRIVATE VANTREL_TEST_FONT_DIR="${VANTREL_FONT_DIR}")

set(driver ${VANTREL_HOST_BUILD}/tests/app/app_e2e_tests)
find_program(VANTREL_EVILWM evilwm REQUIRED)
find_program(VANTREL_WINESERVER wineserver REQUIRED)
set(e2e_env ${VANTREL_WINE_ENV})
list(TRANSFORM e2e_env REPLACE "^WINEPREFIX=.*" "WINEPREFIX=${VANTREL_WINE_ROOT}/e2e-prefix")
foreach(case WindowShowsWhatTheSnapshotRendersForTheSameMessages
             EscapeQAndTheCloseBoxEndWithStatusZeroAndStartFailuresWithOne)
    add_test(NAME Preview.${case} COMMAND ${driver} --gtest_filter=Preview.${case})
    set_tests_properties(Preview.${case} PROPERTIES
        LABELS e2e RESOURCE_LOCK vantrel_feed_port_6867 TIMEOUT 300
        ENVIRONMENT "${e2e_env};VANTREL_E2E_EMULATOR=${VANTREL_WINE};VANTREL_E2E_WINESERVER=${VANTREL_WINESERVER};VANTREL_E2E_PREVIEW=$<TARGET_FILE:vantrel-preview>;VANTREL_E2E_WM=${VANTREL_EVILWM} -fn fixed")
endforeach()
