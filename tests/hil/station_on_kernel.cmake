# The whole station on a real kernel (station-on-kernel.sh), four guest runs:
#  - the built-in 16-drive station with Format on: every port passes and
#    every drive is labelled;
#  - the built-in station with one drive pulled during its system firmware
#    download: that port fails at once, the other 15 pass;
#  - the mixed-faults station with drives that leave the bus when they reboot
#    or enter ROM mode: every port gives what --sim gives;
#  - two drives behind each kind of bridge: the usable ones pass as with
#    --sim, the others are shown unsupported at scan and never started.
# They run in two lanes side by side, one core each
# (station-on-kernel-ci.sh), and
# test_station_on_kernel checks what they leave. Label "slow"; serial with
# the other tests, which would otherwise take the guests' cores.
set(QELVAR_SOK_OUT ${CMAKE_CURRENT_BINARY_DIR}/sok)
set(QELVAR_SOK_PULL 10)
add_test(NAME station_on_kernel
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/station-on-kernel-ci.sh ${QELVAR_SOK_OUT}
                 $<TARGET_FILE:qelvar-cli> $<TARGET_FILE:qelvar-simbridge>
                 ${PROJECT_SOURCE_DIR}/examples/station ${QELVAR_SOK_PULL})
set_tests_properties(station_on_kernel PROPERTIES LABELS slow TIMEOUT 660 SKIP_RETURN_CODE 77
                                                  RUN_SERIAL ON FIXTURES_SETUP station_on_kernel)

add_executable(test_station_on_kernel test_station_on_kernel.cpp)
add_dependencies(test_station_on_kernel qelvar-cli qelvar-simbridge)
target_link_libraries(test_station_on_kernel PRIVATE GTest::gtest GTest::gtest_main)
target_compile_definitions(
  test_station_on_kernel
  PRIVATE QELVAR_SOK_OUT="${QELVAR_SOK_OUT}" QELVAR_SOK_PULL=${QELVAR_SOK_PULL}
          QELVAR_CLI="$<TARGET_FILE:qelvar-cli>"
          QELVAR_STATION="${PROJECT_SOURCE_DIR}/examples/station"
          QELVAR_SOK_MIXED="${CMAKE_CURRENT_SOURCE_DIR}/station-reenumerating.ini")
qelvar_target_defaults(test_station_on_kernel)
gtest_discover_tests(test_station_on_kernel DISCOVERY_TIMEOUT 60
                     PROPERTIES LABELS slow FIXTURES_REQUIRED station_on_kernel)
