# Frame logic fuzzers: the send-line encoder and the receive log.
zelk_fuzzer(fuzz_send_line ${CMAKE_CURRENT_LIST_DIR}/frame_send_line.cpp)
target_link_libraries(fuzz_send_line PRIVATE frame)
zelk_fuzzer(fuzz_show_record ${CMAKE_CURRENT_LIST_DIR}/frame_show_record.cpp)
target_link_libraries(fuzz_show_record PRIVATE frame)
