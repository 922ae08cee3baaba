# One library per source folder: every .cpp directly in the folder belongs to it,
# so adding a file needs no edit here.
function(flashwren_library name)
  cmake_parse_arguments(A "NO_PCH" "" "DEPS;EXTRA_SOURCES" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  file(GLOB hdrs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  if(NOT srcs AND NOT A_EXTRA_SOURCES)
    # A folder whose code has not been written yet.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${A_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${srcs} ${hdrs} ${A_EXTRA_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${A_DEPS})
  if(NOT A_NO_PCH)
    flashwren_precompile_headers(${name})
  endif()
endfunction()

# The headers nearly every file of a folder includes, parsed once per target
# instead of once per file: the Qt widgets, JSON and logging headers cost
# more to read than most of our files take to compile. A library whose code
# must not see them (the crash-time code) says NO_PCH.
option(FLASHWREN_PCH "Precompile the common headers of each library and test program" ON)
function(flashwren_precompile_headers target)
  if(NOT FLASHWREN_PCH)
    return()
  endif()
  set(headers std.h)
  # Qt's only where the target sees the widgets' headers.
  get_target_property(links ${target} LINK_LIBRARIES)
  foreach(link ${links})
    if(link MATCHES "^(core|templates|camera|greenscreen|sharing|gallery|preferences|booth|Qt6::Widgets)$")
      list(APPEND headers qt.h)
      break()
    endif()
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL EXECUTABLE AND TARGET GTest::gtest)
    list(APPEND headers gtest.h)
  endif()
  list(TRANSFORM headers PREPEND "$<$<COMPILE_LANGUAGE:CXX>:${PROJECT_SOURCE_DIR}/cmake/pch/")
  list(TRANSFORM headers APPEND ">")
  target_precompile_headers(${target} PRIVATE ${headers})
endfunction()

# One test program per tests/ folder, each test labelled with the folder's name.
function(flashwren_test name label)
  cmake_parse_arguments(A "" "" "DEPS;EXTRA_SOURCES;ENV" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs} ${A_EXTRA_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} test_support GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    FLASHWREN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    FLASHWREN_BINARY_DIR="${PROJECT_BINARY_DIR}")
  flashwren_precompile_headers(${name})
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${label} ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
    DISCOVERY_TIMEOUT 60)
  if(A_ENV)
    # A list does not survive the discovery's PROPERTIES (each entry after
    # the first would be read as a property name of its own and never reach
    # the tests): the whole environment is set on the discovered tests once
    # CTest has read them.
    set(environment "QT_QPA_PLATFORM=offscreen" ${A_ENV})
    set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake")
    file(WRITE "${include_file}"
      "if(${name}_TESTS)\n"
      "  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT \"${environment}\")\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
  endif()
endfunction()
