# The daemon's option parser needs no platform, so it is tested on both.
nolvane_add_test(option_parser_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/option_parser_test.cpp
  LIBS ostrel_daemon_options)
