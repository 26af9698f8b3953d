# The bus's throughput through a hub: one producer and one consumer process.
add_executable(pelmo_bench ${CMAKE_CURRENT_LIST_DIR}/pelmo_bench.cpp)
target_link_libraries(pelmo_bench PRIVATE pelmo hub benchmark::benchmark)
target_include_directories(pelmo_bench PRIVATE ${PROJECT_SOURCE_DIR})
zelk_warnings(pelmo_bench)
