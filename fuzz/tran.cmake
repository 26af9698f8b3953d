# The companion's text parsers: socketcand commands, the settings file, candump log lines.
zelk_fuzzer(tran_socketcand_fuzz ${CMAKE_CURRENT_LIST_DIR}/tran_socketcand_fuzz.cpp)
target_link_libraries(tran_socketcand_fuzz PRIVATE tran_socketcand)
zelk_fuzzer(tran_settings_fuzz ${CMAKE_CURRENT_LIST_DIR}/tran_settings_fuzz.cpp)
target_link_libraries(tran_settings_fuzz PRIVATE tran_core)
zelk_fuzzer(tran_candump_fuzz ${CMAKE_CURRENT_LIST_DIR}/tran_candump_fuzz.cpp)
target_link_libraries(tran_candump_fuzz PRIVATE tran_candump)
