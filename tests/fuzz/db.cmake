vx_add_fuzzer(paradox SOURCES ParadoxFuzz.cpp LIBS vx_db)
