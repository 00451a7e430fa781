# FTP reply parsing (size in a RETR reply, PASV fields).
vx_add_fuzzer(ftp_reply SOURCES ${CMAKE_SOURCE_DIR}/tests/net/ReplyFuzz.cpp LIBS vx_net)
