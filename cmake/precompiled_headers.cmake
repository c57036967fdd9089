# Precompiled headers (-DXARVEL_PCH=ON; scripts/test turns them on in both of its trees): the
# standard library, Qt and GoogleTest headers that nearly every file includes (100,000 lines and
# more after preprocessing for most of them) are parsed once per tree instead of once per file. Two headers are made: one
# by the driver's library, which the programs, kirn's rooms and the benchmarks reuse, and one
# with GoogleTest for the test programs. Included last by the top-level CMakeLists.txt, when
# every target exists; new targets that link the driver's library (or a kirn room) take part
# without a line of their own. The fuzz targets, which carry flags of their own, and targets
# that do not link the library compile as before.
#
# Off by default: a build without them is what shows a missing #include, and a developer's
# incremental build gains little from them.

if(NOT XARVEL_PCH)
  return()
endif()

set(XARVEL_PCH_HEADERS
    <algorithm> <array> <atomic> <chrono> <cstdint> <cstdio> <cstdlib> <cstring> <deque>
    <filesystem> <functional> <map> <memory> <mutex> <optional> <set> <sstream> <string>
    <string_view> <thread> <unordered_map> <utility> <vector>)
# Qt's headers only in the library's: they define `slots`, `signals` and `emit` as macros, which
# the tests use as plain words.
target_precompile_headers(xarvel_lib PRIVATE ${XARVEL_PCH_HEADERS} <QByteArray> <QCoreApplication>
                                             <QHash> <QObject> <QString> <QTimer>)

# Every target of a directory and of the directories below it.
function(xarvel_all_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    xarvel_all_targets(${sub} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

if(XARVEL_TESTS)
  # The tests' header is made by a library of its own with nothing else in it.
  find_package(GTest REQUIRED)
  file(WRITE ${CMAKE_BINARY_DIR}/pch/xarvel_test_pch.cpp "// The tests' precompiled header.\n")
  add_library(xarvel_test_pch STATIC ${CMAKE_BINARY_DIR}/pch/xarvel_test_pch.cpp)
  target_link_libraries(xarvel_test_pch PRIVATE xarvel_lib GTest::gtest)
  target_precompile_headers(xarvel_test_pch PRIVATE ${XARVEL_PCH_HEADERS} <gtest/gtest.h>)
endif()

xarvel_all_targets(${CMAKE_SOURCE_DIR} _xarvel_targets)
foreach(target ${_xarvel_targets})
  get_target_property(type ${target} TYPE)
  get_target_property(source_dir ${target} SOURCE_DIR)
  if(target STREQUAL "xarvel_lib" OR target STREQUAL "xarvel_test_pch" OR
     NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|OBJECT_LIBRARY)$" OR
     source_dir MATCHES "/fuzz$")
    continue()
  endif()
  get_target_property(links ${target} LINK_LIBRARIES)
  if(NOT links)
    continue()
  endif()
  if("GTest::gtest" IN_LIST links OR "GTest::gtest_main" IN_LIST links)
    target_precompile_headers(${target} REUSE_FROM xarvel_test_pch)
  elseif("xarvel_lib" IN_LIST links OR links MATCHES "(^|;)kirn_")
    target_precompile_headers(${target} REUSE_FROM xarvel_lib)
  endif()
endforeach()
