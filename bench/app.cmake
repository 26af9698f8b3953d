# The monitor's soak run: the companion's generator at a saturated 1 Mbit/s rate into the
# window for a minute (bin/app_soak [SECONDS] [RATE]).
if(TARGET zelk_app)
  # Qt's imported targets are local to the directory that found them.
  find_package(Qt6 REQUIRED COMPONENTS Widgets)
  add_executable(app_soak ${CMAKE_CURRENT_LIST_DIR}/app_soak.cpp)
  target_link_libraries(app_soak PRIVATE zelk_app)
  zelk_warnings(app_soak)
  zelk_runtime_deps(app_soak pelmo zelk_tran)
endif()
