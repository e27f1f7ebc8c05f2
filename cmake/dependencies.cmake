# Third-party code is header-only, so the module needs nothing at run time.
# Each dependency is taken from the system (Debian: libxxhash-dev, robin-map-dev,
# rapidjson-dev, libgtest-dev). A missing one stops the configure with one message naming
# the packages to install, since a machine without the headers usually has no network
# either and a failed download says nothing useful. With RECALL_MESH_FETCH_DEPENDENCIES
# the missing ones are fetched instead, at the releases those packages hold; CI installs
# the packages, so only the system path is exercised there.
option(RECALL_MESH_FETCH_DEPENDENCIES
       "Download the header-only dependencies that the system does not have" OFF)
include(FetchContent)

# Names of what was not found, and the Debian package of each, for the one message.
set(recall_mesh_missing "")
set(recall_mesh_missing_packages "")
macro(recall_mesh_missing_dependency what package)
  list(APPEND recall_mesh_missing "${what}")
  list(APPEND recall_mesh_missing_packages "${package}")
endmacro()

# xxHash: the keyed hash behind every name lookup.
find_path(RECALL_MESH_XXHASH_INCLUDE xxhash.h)
if(NOT RECALL_MESH_XXHASH_INCLUDE)
  if(RECALL_MESH_FETCH_DEPENDENCIES)
    FetchContent_Declare(xxhash
      URL https://github.com/Cyan4973/xxHash/archive/refs/tags/v0.8.1.tar.gz)
    FetchContent_MakeAvailable(xxhash)
    set(RECALL_MESH_XXHASH_INCLUDE ${xxhash_SOURCE_DIR})
  else()
    recall_mesh_missing_dependency(xxhash libxxhash-dev)
  endif()
endif()

# tsl::robin_map: open-addressing tables for the name index and per-call working sets.
find_package(tsl-robin-map CONFIG QUIET)
if(NOT TARGET tsl::robin_map)
  if(RECALL_MESH_FETCH_DEPENDENCIES)
    FetchContent_Declare(robin_map
      URL https://github.com/Tessil/robin-map/archive/refs/tags/v1.2.1.tar.gz)
    FetchContent_MakeAvailable(robin_map)
  else()
    recall_mesh_missing_dependency(robin-map robin-map-dev)
  endif()
endif()

# RapidJSON: the streaming (SAX) parser under the document reader.
find_path(RECALL_MESH_RAPIDJSON_INCLUDE rapidjson/reader.h)
if(NOT RECALL_MESH_RAPIDJSON_INCLUDE)
  if(RECALL_MESH_FETCH_DEPENDENCIES)
    FetchContent_Declare(rapidjson
      URL https://github.com/Tencent/rapidjson/archive/refs/tags/v1.1.0.tar.gz)
    FetchContent_Populate(rapidjson)
    set(RECALL_MESH_RAPIDJSON_INCLUDE ${rapidjson_SOURCE_DIR}/include)
  else()
    recall_mesh_missing_dependency(rapidjson rapidjson-dev)
  endif()
endif()

# GoogleTest: the core's unit tests.
if(RECALL_MESH_TESTS)
  find_package(GTest CONFIG QUIET)
  if(NOT TARGET GTest::gtest_main)
    if(RECALL_MESH_FETCH_DEPENDENCIES)
      FetchContent_Declare(googletest
        URL https://github.com/google/googletest/archive/refs/tags/release-1.12.1.tar.gz)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      FetchContent_MakeAvailable(googletest)
    else()
      recall_mesh_missing_dependency(googletest libgtest-dev)
    endif()
  endif()
endif()

if(recall_mesh_missing)
  list(JOIN recall_mesh_missing ", " missing)
  list(JOIN recall_mesh_missing_packages " " packages)
  # The leading space keeps CMake from wrapping the message: it stays one line to copy.
  message(FATAL_ERROR " recall_mesh: ${missing} headers not found; install them with: "
                      "apt-get install ${packages} "
                      "(or -DRECALL_MESH_FETCH_DEPENDENCIES=ON to download them)")
endif()

add_library(recall_mesh_xxhash INTERFACE)
target_include_directories(recall_mesh_xxhash SYSTEM INTERFACE ${RECALL_MESH_XXHASH_INCLUDE})
target_compile_definitions(recall_mesh_xxhash INTERFACE XXH_INLINE_ALL)

add_library(recall_mesh_rapidjson INTERFACE)
target_include_directories(recall_mesh_rapidjson SYSTEM INTERFACE ${RECALL_MESH_RAPIDJSON_INCLUDE})

if(RECALL_MESH_TESTS)
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
