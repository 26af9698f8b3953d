# tran_bench: generator -> hub -> consumers, through a real zelk_tran process.
if(TARGET zelk_tran AND TARGET pelmo)
  add_executable(tran_bench ${CMAKE_CURRENT_LIST_DIR}/tran_bench.cpp)
  target_link_libraries(tran_bench PRIVATE pelmo)
  add_dependencies(tran_bench zelk_tran)
  zelk_warnings(tran_bench)
endif()
