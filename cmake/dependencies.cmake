# Third-party code is header-only, so the module needs nothing at run time.
# Each dependency is taken from the system (Debian: libxxhash-dev, robin-map-dev,
# rapidjson-dev, libgtest-dev) and, failing that, fetched at the release those packages
# hold. CI installs the packages, so only the system path is exercised there.
include(FetchContent)

# xxHash: the keyed hash behind every name lookup.
find_path(RECALL_MESH_XXHASH_INCLUDE xxhash.h)
if(NOT RECALL_MESH_XXHASH_INCLUDE)
  FetchContent_Declare(xxhash
    URL https://github.com/Cyan4973/xxHash/archive/refs/tags/v0.8.1.tar.gz)
  FetchContent_MakeAvailable(xxhash)
  set(RECALL_MESH_XXHASH_INCLUDE ${xxhash_SOURCE_DIR})
endif()
add_library(recall_mesh_xxhash INTERFACE)
target_include_directories(recall_mesh_xxhash SYSTEM INTERFACE ${RECALL_MESH_XXHASH_INCLUDE})
target_compile_definitions(recall_mesh_xxhash INTERFACE XXH_INLINE_ALL)

# tsl::robin_map: open-addressing tables for the name index and per-call working sets.
find_package(tsl-robin-map CONFIG QUIET)
if(NOT TARGET tsl::robin_map)
  FetchContent_Declare(robin_map
    URL https://github.com/Tessil/robin-map/archive/refs/tags/v1.2.1.tar.gz)
  FetchContent_MakeAvailable(robin_map)
endif()

# RapidJSON: the streaming (SAX) parser under the document reader.
find_path(RECALL_MESH_RAPIDJSON_INCLUDE rapidjson/reader.h)
if(NOT RECALL_MESH_RAPIDJSON_INCLUDE)
  FetchContent_Declare(rapidjson
    URL https://github.com/Tencent/rapidjson/archive/refs/tags/v1.1.0.tar.gz)
  FetchContent_Populate(rapidjson)
  set(RECALL_MESH_RAPIDJSON_INCLUDE ${rapidjson_SOURCE_DIR}/include)
endif()
add_library(recall_mesh_rapidjson INTERFACE)
target_include_directories(recall_mesh_rapidjson SYSTEM INTERFACE ${RECALL_MESH_RAPIDJSON_INCLUDE})

# GoogleTest: the core's unit tests.
if(RECALL_MESH_TESTS)
  find_package(GTest CONFIG QUIET)
  if(NOT TARGET GTest::gtest_main)
    FetchContent_Declare(googletest
      URL https://github.com/google/googletest/archive/refs/tags/release-1.12.1.tar.gz)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    FetchContent_MakeAvailable(googletest)
  endif()
  include(GoogleTest)
endif()

# Adds a GoogleTest executable for one library: recall_mesh_add_tests(store a_test.cpp ...).
function(recall_mesh_add_tests lib)
  if(NOT RECALL_MESH_TESTS)
    return()
  endif()
  add_executable(recall_mesh_${lib}_tests ${ARGN})
  target_link_libraries(recall_mesh_${lib}_tests PRIVATE recall_mesh_${lib} recall_mesh_warnings
                        GTest::gtest_main)
  gtest_discover_tests(recall_mesh_${lib}_tests DISCOVERY_MODE PRE_TEST)
endfunction()
