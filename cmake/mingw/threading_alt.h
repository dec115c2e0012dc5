/* Mutex type of Mbed TLS's alternative threading layer on Windows. The
 * library installs SRW-lock functions for it (src/platform/platform_win32.cpp)
 * before any TLS work; an SRW lock is one pointer and needs no destruction.
 * Kept free of <windows.h> so every Mbed TLS header stays light. */
#ifndef KQ_MBEDTLS_THREADING_ALT_H
#define KQ_MBEDTLS_THREADING_ALT_H

typedef struct mbedtls_threading_mutex_t {
    void *srw;       /* an SRWLOCK */
    char is_valid;
} mbedtls_threading_mutex_t;

#endif
