# Archive signatures and public keys: the parser and the verification.
vx_add_fuzzer(signature SOURCES SignatureFuzz.cpp ${CMAKE_SOURCE_DIR}/app/SignatureVerifier.cpp
  LIBS PkgConfig::SODIUM vx_platform)
