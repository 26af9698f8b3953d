# tran_bench: generator -> hub -> consumers, and replays into zelk_dump, through a real
# zelk_tran process.
if(TARGET zelk_tran AND TARGET pelmo)
  add_executable(tran_bench ${CMAKE_CURRENT_LIST_DIR}/tran_bench.cpp)
  target_link_libraries(tran_bench PRIVATE pelmo tran_core)
  zelk_runtime_deps(tran_bench zelk_tran zelk_dump)
  zelk_warnings(tran_bench)
endif()
