add_executable(event_queue_bench ${CMAKE_CURRENT_LIST_DIR}/event_queue_bench.cpp)
target_link_libraries(event_queue_bench PRIVATE nolvane_events benchmark::benchmark)
