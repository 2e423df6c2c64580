# One interface target that every library and program links: language level,
# warnings and the defines shared by the whole tree.
add_library(zentu_common INTERFACE)
target_compile_features(zentu_common INTERFACE cxx_std_20)
target_compile_options(zentu_common INTERFACE -Wall -Wextra)
if(DEFINED ENV{CI} AND "$ENV{CI}" STREQUAL "true")
  target_compile_options(zentu_common INTERFACE -Werror)
endif()
target_include_directories(zentu_common INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_definitions(zentu_common INTERFACE ZENTU_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

if(ZENTU_SANITIZE STREQUAL "address")
  target_compile_options(zentu_common INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer)
  target_link_options(zentu_common INTERFACE -fsanitize=address,undefined)
elseif(ZENTU_SANITIZE STREQUAL "thread")
  target_compile_options(zentu_common INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(zentu_common INTERFACE -fsanitize=thread)
endif()

# Each subsystem is one static library built from the .cpp files of its folder.
function(zentu_library name)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(_src)
    add_library(${name} STATIC ${_src})
    target_link_libraries(${name} PUBLIC zentu_common ${ARGN})
  else()
    # A subsystem whose code has not arrived yet.
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE zentu_common ${ARGN})
  endif()
endfunction()

# One test program per subsystem, built from every .cpp file of its folder.
function(zentu_test name)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _src)
    return()
  endif()
  add_executable(${name} ${_src})
  target_link_libraries(${name} PRIVATE zentu_common ICU::uc GTest::gtest GTest::gtest_main GTest::gmock ${ARGN})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endfunction()
