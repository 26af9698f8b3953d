# The monitor's soak run: the companion's generator at a saturated 1 Mbit/s rate into the
# window for a minute (bin/app_soak [SECONDS] [RATE]); --trickle feeds it one frame per bus
# message from bus_feeder, with several windows and a zelk_dump attached.
if(TARGET zelk_app)
  # Qt's imported targets are local to the directory that found them.
  find_package(Qt6 REQUIRED COMPONENTS Widgets)
  add_executable(app_soak ${CMAKE_CURRENT_LIST_DIR}/app_soak.cpp)
  target_link_libraries(app_soak PRIVATE zelk_app)
  zelk_warnings(app_soak)
  zelk_runtime_deps(app_soak pelmo zelk_tran zelk_dump)
  # bus_feeder is defined in bench/tran/, read after this file.
  if(TARGET pelmo)
    add_dependencies(app_soak bus_feeder)
  endif()
endif()
