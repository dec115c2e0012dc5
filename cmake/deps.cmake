# Mbed TLS (static, PIC) and yyjson (shared) from the prefix scripts/deps.sh fills.
find_package(Threads REQUIRED)
find_package(MbedTLS 3.6 CONFIG REQUIRED)
find_package(yyjson CONFIG REQUIRED)
get_target_property(_kq_yyjson_loc yyjson::yyjson LOCATION)
get_filename_component(KQ_YYJSON_LIBDIR "${_kq_yyjson_loc}" DIRECTORY)
