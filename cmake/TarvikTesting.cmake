# Test helpers shared by every test folder.
include(GoogleTest)

if(TARVIK_WINDOWS)
  # GoogleTest built from Debian's sources with the cross compiler.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # One wineserver for the whole run, detached from ctest's pipes. It starts
  # afresh once this tree's Xvfb is up (see below): every program of one
  # server must see the display of the server's desktop, or its windows fail
  # (error 1400), so wine-run hands that display to every program of the run.
  add_test(NAME wine_up COMMAND sh -c "exec </dev/null >/dev/null 2>&1; WINEPREFIX=${TARVIK_WINEPREFIX} wineserver -k; ${CMAKE_BINARY_DIR}/wine-run cmd /c exit 0")
  add_test(NAME wine_down COMMAND sh -c "WINEPREFIX=${TARVIK_WINEPREFIX} wineserver -k; exit 0")
  set_tests_properties(wine_up PROPERTIES FIXTURES_SETUP WINE FIXTURES_REQUIRED XVFB)
  set_tests_properties(wine_down PROPERTIES FIXTURES_CLEANUP WINE FIXTURES_REQUIRED XVFB)
else()
  find_package(GTest REQUIRED)
  find_package(Threads REQUIRED)
endif()

# A test program of the Windows-free logic: built by both builds (under Wine in the cross build).
function(tarvik_add_logic_test name)
  add_executable(${name} ${ARGN} ${PROJECT_SOURCE_DIR}/tests/support/WritersEnd.cpp)
  target_link_libraries(${name} PRIVATE tarvik_logic tarvik_test_support_logic GTest::gmock_main)
  _tarvik_discover(${name})
endfunction()

# A test program of the Windows code: cross build only, run under Wine.
function(tarvik_add_win_test name)
  if(NOT TARVIK_WINDOWS)
    return()
  endif()
  add_executable(${name} ${ARGN} ${PROJECT_SOURCE_DIR}/tests/support/WritersEnd.cpp)
  target_link_libraries(${name} PRIVATE tarvik_win tarvik_test_support_win GTest::gmock_main)
  _tarvik_discover(${name})
endfunction()

function(_tarvik_discover name)
  if(TARVIK_WINDOWS)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
      PROPERTIES FIXTURES_REQUIRED WINE TIMEOUT 600
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 600 WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
endfunction()

# Windows tests that show real windows: one Xvfb for the whole run, on a
# display number of this build tree's own so that several trees can test at
# once. While it runs, build/win/xvfb.display names it for wine-run. A lock
# left by a dead server is cleared; a live one is never taken over.
if(TARVIK_WINDOWS)
  string(MD5 _tarvik_tree_hash "${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${_tarvik_tree_hash}" 0 3 _tarvik_tree_hex)
  math(EXPR TARVIK_DISPLAY_NUMBER "100 + 0x${_tarvik_tree_hex} % 800")
  set(TARVIK_DISPLAY ":${TARVIK_DISPLAY_NUMBER}")
  set(_xvfb_pid "${CMAKE_BINARY_DIR}/xvfb.pid")
  set(_xvfb_display "${CMAKE_BINARY_DIR}/xvfb.display")
  add_test(NAME xvfb_up COMMAND sh -c
    "exec </dev/null >/dev/null 2>&1; [ -f '${_xvfb_pid}' ] && kill $(cat '${_xvfb_pid}'); \
     l=/tmp/.X${TARVIK_DISPLAY_NUMBER}-lock; [ -f $l ] && ! kill -0 $(tr -d ' ' < $l) && \
       rm -f $l /tmp/.X11-unix/X${TARVIK_DISPLAY_NUMBER}; \
     Xvfb ${TARVIK_DISPLAY} -screen 0 1024x768x24 -nolisten tcp & echo $! > '${_xvfb_pid}'; \
     for i in $(seq 100); do [ -S /tmp/.X11-unix/X${TARVIK_DISPLAY_NUMBER} ] && echo ${TARVIK_DISPLAY} > '${_xvfb_display}' && exit 0; sleep 0.1; done; exit 1")
  add_test(NAME xvfb_down COMMAND sh -c
    "rm -f '${_xvfb_display}'; [ -f '${_xvfb_pid}' ] && kill $(cat '${_xvfb_pid}'); rm -f '${_xvfb_pid}'; exit 0")
  set_tests_properties(xvfb_up PROPERTIES FIXTURES_SETUP XVFB)
  set_tests_properties(xvfb_down PROPERTIES FIXTURES_CLEANUP XVFB)
endif()

# A test program that shows windows: cross build only, under Wine and Xvfb.
function(tarvik_add_ui_test name)
  if(NOT TARVIK_WINDOWS)
    return()
  endif()
  add_executable(${name} ${ARGN} ${PROJECT_SOURCE_DIR}/tests/support/WritersEnd.cpp)
  target_link_libraries(${name} PRIVATE tarvik_win tarvik_test_support_win GTest::gmock_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
    PROPERTIES FIXTURES_REQUIRED WINE TIMEOUT 600 RESOURCE_LOCK xdisplay
               ENVIRONMENT "DISPLAY=${TARVIK_DISPLAY}"
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# Tests under double-byte code pages: Japanese (932), Traditional and
# Simplified Chinese (950, 936). The run makes the locales itself, into the
# build tree (no system set-up), and points Wine at them: the locale gives
# each Wine program its ANSI code page, and TARVIK_TEST_CODE_PAGE lets the
# tests check that it did.
if(TARVIK_WINDOWS)
  set(TARVIK_LOCALE_DIR "${CMAKE_BINARY_DIR}/locale")
  add_test(NAME locales_up COMMAND sh ${CMAKE_SOURCE_DIR}/tests/support/locales-up.sh
    ${TARVIK_LOCALE_DIR} ${CMAKE_BINARY_DIR}/wine-run)
  set_tests_properties(locales_up PROPERTIES FIXTURES_SETUP LOCALES FIXTURES_REQUIRED WINE
    PASS_REGULAR_EXPRESSION "locales and fonts ready")
endif()

# Runs the tests of program that match filter once more under each locale
# given as LOCALE:CODEPAGE (ja_JP:932 ...), as tests PROGRAM.cpCODEPAGE.
function(tarvik_add_codepage_runs program filter)
  if(NOT TARVIK_WINDOWS)
    return()
  endif()
  foreach(pair ${ARGN})
    string(REPLACE ":" ";" parts ${pair})
    list(GET parts 0 locale)
    list(GET parts 1 codepage)
    set(name ${program}.cp${codepage})
    add_test(NAME ${name} COMMAND ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:${program}> --gtest_filter=${filter})
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "WINE;LOCALES" TIMEOUT 600 RESOURCE_LOCK xdisplay
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      ENVIRONMENT "DISPLAY=${TARVIK_DISPLAY};LOCPATH=${TARVIK_LOCALE_DIR};LC_ALL=${locale}.UTF-8;LANG=${locale}.UTF-8;TARVIK_TEST_CODE_PAGE=${codepage}")
  endforeach()
endfunction()
