# bus_feeder: frames one per bus message, paced (tran_bench --trickle and app_soak --trickle).
if(TARGET pelmo)
  add_executable(bus_feeder ${CMAKE_CURRENT_LIST_DIR}/bus_feeder.cpp)
  target_link_libraries(bus_feeder PRIVATE pelmo frame)
  target_include_directories(bus_feeder PRIVATE ${PROJECT_SOURCE_DIR})
  zelk_warnings(bus_feeder)
endif()
# tran_bench: generator -> hub -> consumers, and replays into zelk_dump, through a real
# zelk_tran process; --trickle feeds it one frame per message from bus_feeder into zelk_dump
# processes.
if(TARGET zelk_tran AND TARGET pelmo)
  add_executable(tran_bench ${CMAKE_CURRENT_LIST_DIR}/tran_bench.cpp)
  target_link_libraries(tran_bench PRIVATE pelmo tran_core)
  target_include_directories(tran_bench PRIVATE ${PROJECT_SOURCE_DIR})
  zelk_runtime_deps(tran_bench zelk_tran zelk_dump bus_feeder)
  zelk_warnings(tran_bench)
endif()
# tran_log_bench: a long generated capture with size rotation; the log files and a zelk_dump
# read back against the generator's sequence.
if(TARGET zelk_tran)
  add_executable(tran_log_bench ${CMAKE_CURRENT_LIST_DIR}/tran_log_bench.cpp)
  target_link_libraries(tran_log_bench PRIVATE tran_core)
  target_include_directories(tran_log_bench PRIVATE ${PROJECT_SOURCE_DIR})
  zelk_runtime_deps(tran_log_bench zelk_tran zelk_dump)
  zelk_warnings(tran_log_bench)
endif()
