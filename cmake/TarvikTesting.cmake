# Test helpers shared by every test folder.
include(GoogleTest)

if(TARVIK_WINDOWS)
  # GoogleTest built from Debian's sources with the cross compiler.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # One wineserver for the whole run, detached from ctest's pipes.
  add_test(NAME wine_up COMMAND sh -c "exec </dev/null >/dev/null 2>&1; ${CMAKE_BINARY_DIR}/wine-run cmd /c exit 0")
  add_test(NAME wine_down COMMAND sh -c "WINEPREFIX=${TARVIK_WINEPREFIX} wineserver -k; exit 0")
  set_tests_properties(wine_up PROPERTIES FIXTURES_SETUP WINE)
  set_tests_properties(wine_down PROPERTIES FIXTURES_CLEANUP WINE)
else()
  find_package(GTest REQUIRED)
  find_package(Threads REQUIRED)
endif()

# A test program of the Windows-free logic: built by both builds (under Wine in the cross build).
function(tarvik_add_logic_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE tarvik_logic tarvik_test_support_logic GTest::gmock_main)
  _tarvik_discover(${name})
endfunction()

# A test program of the Windows code: cross build only, run under Wine.
function(tarvik_add_win_test name)
  if(NOT TARVIK_WINDOWS)
    return()
  endif()
  add_executable(${name} ${ARGN})
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
