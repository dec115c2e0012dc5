/* kerquill: read, search and archive one IMAP mailbox from a host program.
 *
 * Conventions
 *  - Calls that act return int: 0 on success, -1 on failure. The reason of
 *    the last failure is the text of kq_last_error().
 *  - Calls that report return const char *: never NULL; the empty text on
 *    failure. The text lives in library storage and stays valid until the
 *    next call that rewrites the same storage (the next call of that kind).
 *    Do not free it.
 *  - All texts are NUL-terminated bytes; JSON in and out is UTF-8 as given.
 *  - The library keeps one server connection, one search result, one fetched
 *    message, one export job, one batch export and one verification report
 *    for the whole process.
 *  - Threads: the library takes no lock around the connection. While an
 *    export job or a batch export is running, call only the export and batch
 *    status/steering calls, kq_status, kq_last_error and the archive calls;
 *    nothing that talks to the server or replaces the search result.
 *  - On Windows the host starts the socket layer (WSAStartup) itself.
 *  - Set the environment variable KQ_DEBUG to trace read failures to stderr.
 */
#ifndef KERQUILL_H
#define KERQUILL_H

#if defined(_WIN32)
#  if defined(KQ_BUILDING_LIBRARY)
#    define KQ_API __declspec(dllexport)
#  else
#    define KQ_API __declspec(dllimport)
#  endif
#else
#  define KQ_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- connection ---------------------------------------------------------- */

/* Connects and logs in with a JSON configuration:
 * {"host","port"(993),"ssl"(1),"user","pass"|"oauth_token","ca_file",
 *  "timeout_s"(30),"tls_verify"(1)}. Drops any earlier connection first. */
KQ_API int kq_connect(const char *config_json);
/* Logs out and closes the connection; always 0. */
KQ_API int kq_disconnect(void);
/* 0 no connection (or lost), 1 connected but not logged in, 2 logged in. */
KQ_API int kq_status(void);
/* Text of the last failure; the pointer is the same for the library's life. */
KQ_API const char *kq_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* KERQUILL_H */
