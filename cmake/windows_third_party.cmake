# The third-party libraries of the Windows build, compiled here from Debian's source packages
# (unpacked into ${TARVEL_THIRD_PARTY_DIR} by scripts/windows-deps.sh) and from the googletest
# sources that Debian's googletest package installs. They take the names the Linux build's
# pkg-config and find_package targets have, so every module links them the same way.
set(TARVEL_THIRD_PARTY_DIR ${CMAKE_BINARY_DIR}/third-party CACHE PATH
  "Unpacked source packages of hidapi, lz4 and jsoncpp (scripts/windows-deps.sh)")
set(TARVEL_GOOGLETEST_DIR /usr/src/googletest CACHE PATH "googletest sources")

foreach(name hidapi lz4 libjsoncpp)
  if(NOT EXISTS ${TARVEL_THIRD_PARTY_DIR}/${name})
    message(FATAL_ERROR "${TARVEL_THIRD_PARTY_DIR}/${name} is missing: run scripts/windows-deps.sh ${CMAKE_BINARY_DIR}")
  endif()
endforeach()

# Third-party code is built without the project's warnings: they are not ours to fix.
function(tarvel_third_party_target target)
  target_compile_options(${target} PRIVATE -w)
endfunction()

set(lz4_dir ${TARVEL_THIRD_PARTY_DIR}/lz4/lib)
add_library(tarvel_lz4 STATIC ${lz4_dir}/lz4.c ${lz4_dir}/lz4hc.c)
target_include_directories(tarvel_lz4 SYSTEM PUBLIC ${lz4_dir})
tarvel_third_party_target(tarvel_lz4)
add_library(PkgConfig::LZ4 ALIAS tarvel_lz4)

set(json_dir ${TARVEL_THIRD_PARTY_DIR}/libjsoncpp)
add_library(tarvel_jsoncpp STATIC
  ${json_dir}/src/lib_json/json_reader.cpp
  ${json_dir}/src/lib_json/json_value.cpp
  ${json_dir}/src/lib_json/json_writer.cpp)
target_include_directories(tarvel_jsoncpp SYSTEM PUBLIC ${json_dir}/include)
target_include_directories(tarvel_jsoncpp PRIVATE ${json_dir}/src/lib_json)
tarvel_third_party_target(tarvel_jsoncpp)
add_library(PkgConfig::JSONCPP ALIAS tarvel_jsoncpp)

# hidapi: its header only. The Windows backend compiles hid.c into its own source file, where
# the project's hid_write_timeout reaches the library's device record.
set(TARVEL_HIDAPI_DIR ${TARVEL_THIRD_PARTY_DIR}/hidapi)
add_library(tarvel_hidapi_headers INTERFACE)
target_include_directories(tarvel_hidapi_headers SYSTEM INTERFACE ${TARVEL_HIDAPI_DIR}/hidapi ${TARVEL_HIDAPI_DIR}/windows)

if(TARVEL_BUILD_TESTS)
  set(gtest_dir ${TARVEL_GOOGLETEST_DIR}/googletest)
  set(gmock_dir ${TARVEL_GOOGLETEST_DIR}/googlemock)
  add_library(tarvel_gtest STATIC ${gtest_dir}/src/gtest-all.cc)
  target_include_directories(tarvel_gtest SYSTEM PUBLIC ${gtest_dir}/include PRIVATE ${gtest_dir})
  target_link_libraries(tarvel_gtest PUBLIC Threads::Threads)
  add_library(tarvel_gmock STATIC ${gmock_dir}/src/gmock-all.cc)
  target_include_directories(tarvel_gmock SYSTEM PUBLIC ${gmock_dir}/include PRIVATE ${gmock_dir})
  target_link_libraries(tarvel_gmock PUBLIC tarvel_gtest)
  add_library(tarvel_gtest_main STATIC ${gtest_dir}/src/gtest_main.cc)
  target_link_libraries(tarvel_gtest_main PUBLIC tarvel_gtest)
  foreach(t tarvel_gtest tarvel_gmock tarvel_gtest_main)
    tarvel_third_party_target(${t})
  endforeach()
  add_library(GTest::gtest ALIAS tarvel_gtest)
  add_library(GTest::gmock ALIAS tarvel_gmock)
  add_library(GTest::gtest_main ALIAS tarvel_gtest_main)
endif()
