# One library per source folder: every .cpp directly in the folder belongs to it,
# so adding a file needs no edit here.
function(flashwren_library name)
  cmake_parse_arguments(A "" "" "DEPS;EXTRA_SOURCES" ${ARGN})
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
