// Entry points that belong to the library as a whole.
#include "api/guard.h"

extern "C" KQ_API const char *kq_last_error(void) { return kq::last_error(); }

extern "C" KQ_API const char *kq_version(void) { return KQ_VERSION_TEXT; }
