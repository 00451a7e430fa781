vx_add_fuzzer(zip SOURCES ZipArchiverFuzz.cpp LIBS vx_zip)
