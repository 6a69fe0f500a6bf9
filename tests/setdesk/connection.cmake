# The server connection and its reply handlers, against the real server in
# the same process and against a scripted one for replies it never sends.
tavex_add_test(tst_server_comms
  SOURCES tst_server_comms.cpp ../keepyard/serverFixture.h ../keepyard/serverFixture.cpp
  LIBRARIES setdesk keepyard ZLIB::ZLIB)
target_include_directories(tst_server_comms PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/../keepyard)
