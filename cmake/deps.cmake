# Mbed TLS (static, PIC) and yyjson (shared) from the prefix scripts/deps.sh fills.
find_package(Threads REQUIRED)
find_package(MbedTLS 3.6 CONFIG REQUIRED)
find_package(yyjson CONFIG REQUIRED)
get_target_property(_kq_yyjson_loc yyjson::yyjson LOCATION)
get_filename_component(KQ_YYJSON_LIBDIR "${_kq_yyjson_loc}" DIRECTORY)
# zlib for COMPRESS=DEFLATE. The Windows DLL carries it inside, like the C++
# runtime, so hosts need no zlib1.dll.
if(MINGW)
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB REQUIRED)
# SHA-256 through OpenSSL's libcrypto where it is installed (the Linux
# builds): it uses the CPU's SHA instructions. The Windows build hashes with
# Mbed TLS, which it links anyway.
if(NOT WIN32)
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
  set(KQ_HASH_LIBS OpenSSL::Crypto)
  set(KQ_HASH_DEFS KQ_SHA256_OPENSSL)
else()
  set(KQ_HASH_LIBS)
  set(KQ_HASH_DEFS)
endif()
