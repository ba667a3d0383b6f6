# The fuzz targets without libFuzzer, for every compiler: each fuzz/<Target>.cpp linked with the
# replay main becomes fuzz_replay_<Target>, and a ctest entry replays its seeds and saved
# crashes from tests/fuzz-seeds/<Target>/. Included from tests/CMakeLists.txt, after the test
# support library. Also builds the program that writes those seeds.
set(VELDORAN_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
set(VELDORAN_FUZZ_SEEDS_DIR ${PROJECT_SOURCE_DIR}/tests/fuzz-seeds)

file(GLOB FUZZ_REPLAY_COMMON CONFIGURE_DEPENDS ${VELDORAN_FUZZ_DIR}/common/*.cpp)
list(FILTER FUZZ_REPLAY_COMMON EXCLUDE REGEX "/ReplayMain\\.cpp$")
add_library(veldoran_fuzz_replay_common STATIC ${FUZZ_REPLAY_COMMON})
target_include_directories(veldoran_fuzz_replay_common PUBLIC ${VELDORAN_FUZZ_DIR})
target_link_libraries(veldoran_fuzz_replay_common PUBLIC veldoran_test_support
                                                  PRIVATE veldoran_warnings)

file(GLOB FUZZ_REPLAY_TARGETS CONFIGURE_DEPENDS ${VELDORAN_FUZZ_DIR}/*.cpp)
foreach(source IN LISTS FUZZ_REPLAY_TARGETS)
  get_filename_component(name ${source} NAME_WE)
  add_executable(fuzz_replay_${name} ${source} ${VELDORAN_FUZZ_DIR}/common/ReplayMain.cpp)
  target_link_libraries(fuzz_replay_${name} PRIVATE veldoran_fuzz_replay_common veldoran_warnings)
  add_test(NAME fuzz_replay.${name}
           COMMAND fuzz_replay_${name} ${VELDORAN_FUZZ_SEEDS_DIR}/${name})
endforeach()
if(TARGET fuzz_replay_GetOptFuzz)
  target_sources(fuzz_replay_GetOptFuzz PRIVATE ${PROJECT_SOURCE_DIR}/shell/GetOpt.cpp)
endif()
if(TARGET fuzz_replay_MailFuzz)
  target_link_libraries(fuzz_replay_MailFuzz PRIVATE veldoran_mail_gmime)
endif()

# Writes the seeds with the library's own encoders: veldoran_fuzz_seeds <tests/fuzz-seeds folder>.
add_executable(veldoran_fuzz_seeds ${VELDORAN_FUZZ_DIR}/tools/MakeSeeds.cpp)
target_link_libraries(veldoran_fuzz_seeds PRIVATE veldoran_fuzz_replay_common veldoran_warnings)
