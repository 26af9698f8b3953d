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
