# The bus, from both ends of its socket: what clients send a hub, and what a hub sends the
# client library.
zelk_fuzzer(hub_protocol_fuzz ${CMAKE_CURRENT_LIST_DIR}/hub_protocol_fuzz.cpp)
target_link_libraries(hub_protocol_fuzz PRIVATE hub)
zelk_fuzzer(pelmo_client_fuzz ${CMAKE_CURRENT_LIST_DIR}/pelmo_client_fuzz.cpp)
target_link_libraries(pelmo_client_fuzz PRIVATE pelmo hub)
