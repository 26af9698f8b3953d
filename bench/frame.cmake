# Frame logic benchmarks: send-line encoding, ShowRecord, and one flush of a saturated bus.
add_executable(frame_bench ${CMAKE_CURRENT_LIST_DIR}/frame_bench.cpp)
target_link_libraries(frame_bench PRIVATE frame benchmark::benchmark)
zelk_warnings(frame_bench)
