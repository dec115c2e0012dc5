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
 *    Mail text handed out is UTF-8: encoded header words, body charsets,
 *    RFC 2231 file names and modified UTF-7 folder names are decoded (an
 *    unknown charset or a malformed word stays as written).
 *  - The library keeps one server connection, one search result, one fetched
 *    message, one export job, one batch export and one verification report
 *    for the whole process.
 *  - Threads: calls from several host threads take turns (one at a time),
 *    except the polls and steering calls of the export job and the batch,
 *    kq_status and kq_last_error, which never wait for another call. While
 *    an export job or a batch export is active (running or paused), every
 *    call that talks to the server or replaces the search result returns at
 *    once with its failure value and "<call>: an export is running; wait for
 *    it or cancel it first" (kq_export_start: "export already running").
 *    No exception leaves a kq_ call: a failure inside the library
 *    is its failure value with "out of memory" or "internal error".
 *  - kq_disconnect first cancels a running or paused export job (and so a
 *    batch) and waits until its thread has let go of the connection.
 *  - Windows: the library starts the socket layer (WSAStartup) itself. A
 *    worker thread holds a reference to kerquill.dll, so FreeLibrary while
 *    an export runs leaves the code mapped until the worker ends. Before
 *    the host ends the process or unloads the DLL it should still call
 *    kq_export_cancel and wait until kq_export_status() is no longer 1 and
 *    kq_export_all_status_json() reports no running batch (or simply call
 *    kq_disconnect, which does both): ExitProcess kills a worker wherever
 *    it is, which may leave a half-written file behind (the manifest and
 *    resume state stay consistent, as after a crash).
 *  - Set the environment variable KQ_DEBUG to trace read failures to stderr.
 */
#ifndef KERQUILL_H
#define KERQUILL_H

#if defined(_WIN32)
#  if defined(KQ_BUILDING_LIBRARY)
#    define KQ_API __declspec(dllexport)
#  elif defined(KQ_STATIC)
#    define KQ_API
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
/* The library's version, "major.minor.patch" (e.g. "0.2.0"). */
KQ_API const char *kq_version(void);

/* ---- folders ------------------------------------------------------------- */

/* JSON array of every folder, in the server's order: [{"name" (exactly as
 * the server sent it, modified UTF-7),"display" (UTF-8),"count","uid_min",
 * "uid_max","total_bytes"(0),"oldest"(""),"newest"("")},...]. Every call
 * that takes a folder accepts either its "name" or its "display" form. */
KQ_API const char *kq_folders_json(void);
/* JSON estimate of one folder's size and share of attachments, from at most
 * 30 messages spread over the folder. */
KQ_API const char *kq_probe_folder(const char *folder);

/* ---- search -------------------------------------------------------------- */

/* Scans a folder and fills the result table. criteria: JSON or NULL, keys
 * "since","before" (YYYY-MM-DD),"from","to","subject" (matched without
 * regard to letter case, Latin, Greek and Cyrillic included),"min_bytes",
 * "has_attachments" (1/true, 0/false, negative: either),"uid_min","uid_max".
 * A value of the wrong type or an impossible day: -1, "bad criteria: <key>",
 * the previous result kept. */
KQ_API int kq_search(const char *folder, const char *criteria_json);
/* Share of the running search's UID range covered, 0.0 to 1.0 (1.0 once a
 * search has ended well). Safe from another thread while kq_search runs. */
KQ_API double kq_search_progress(void);
/* Stops a running kq_search from another thread: that call then returns -1
 * with "search cancelled" and leaves an empty result. 0 when taken, -1 when
 * no search runs. */
KQ_API int kq_search_cancel(void);
/* Number of rows of the last search. */
KQ_API int kq_search_count(void);
/* Field of a row: "uid","from","to","subject" (decoded to UTF-8),"date",
 * "bytes","has_attachments"; the empty text for a bad row or key. */
KQ_API const char *kq_search_field(int index, const char *key);

/* ---- fetch --------------------------------------------------------------- */

/* Downloads the message of a search row (opening the row's folder when
 * another one is open); its texts and attachment table follow. */
KQ_API int kq_fetch(int index);
/* Downloads the message with this UID in folder (either form of its name)
 * as kq_fetch does, without reading or changing the search result. A UID the
 * folder does not hold: -1, "no message with uid <uid> in <folder>". */
KQ_API int kq_fetch_uid(const char *folder, unsigned int uid);
/* Header block of the fetched message, raw: nothing decoded. */
KQ_API const char *kq_fetch_header(void);
/* Readable body text (plain text, or HTML with the tags stripped),
 * converted from its part's charset to UTF-8. */
KQ_API const char *kq_fetch_body_text(void);
/* Writes the fetched message, byte for byte, to path. */
KQ_API int kq_fetch_save(const char *path);

/* ---- attachments of the fetched message ----------------------------------- */

KQ_API int kq_attachment_count(void);
/* Field of an attachment row: "name" (the decoded file name, else the
 * Content-Type's name, else "attachment-<index>.<extension of its type>"),
 * "ctype","size" (encoded bytes); the first argument is not used. */
KQ_API const char *kq_attachment_field(const char *ignored, int index, const char *key);
/* Decodes attachment row index into the existing dir, named by the row's
 * name cut to what follows its last '/' or '\' (Windows device names get a
 * leading '_', at most 255 bytes). Never replaces a file nor follows a link
 * already there: the name becomes "name (2).ext", "name (3).ext", ... until
 * it is free. Base64 that does not decode: -1, "cannot decode attachment N",
 * no file written. The first argument is not used. */
KQ_API int kq_attachment_save(const char *ignored, int index, const char *dir);
/* Full path the last kq_attachment_save wrote (dir, '/', the name it chose,
 * e.g. "photo (2).png"); the empty text before the first save, after a save
 * that failed and once another message is fetched. */
KQ_API const char *kq_attachment_saved_path(void);

/* ---- export job (runs on its own thread) ----------------------------------- */

/* Starts exporting the last search result on a worker thread:
 * {"dir","format"("eml"|"eml+mbox"),"naming"("YYYY\\MM\\uid" dated),"resume"(1),"manifest"(1)}. */
KQ_API int kq_export_start(const char *config_json);
/* 0 idle, 1 running, 2 done, 3 paused or cancelled, 4 error. */
KQ_API int kq_export_status(void);
/* Share done, 0.0 to 1.0. */
KQ_API double kq_export_progress(void);
/* {"done","total","bytes","eta_s","speed_bps","state"} of the current or
 * last job; "state" is "idle", "running", "paused", "cancelled", "done" or
 * "error" (a pause and a cancel both have status 3). "vanished": N follows
 * when N messages were expunged on the server before their turn. */
KQ_API const char *kq_export_stats_json(void);
/* "<folder>  uid=<uid>  <subject>" of the message being exported. */
KQ_API const char *kq_export_current(void);
/* Pause (running job), resume (paused job), cancel (any job not ended):
 * 0 when taken, -1 when the job is in no state for it. */
KQ_API int kq_export_pause(void);
KQ_API int kq_export_resume(void);
KQ_API int kq_export_cancel(void);

/* ---- archives (no server needed) ------------------------------------------ */

/* Re-hashes every file the manifest of dir lists. */
KQ_API int kq_verify_dir(const char *dir);
/* JSON report of the last verification: counts and failing entries. */
KQ_API const char *kq_verify_report_json(void);
/* JSON summary of an archive from its manifest. */
KQ_API const char *kq_archive_stats_json(const char *dir);

/* ---- batch export of all folders (runs on its own thread) ----------------- */

/* Exports every listed (or configured) folder into its own subdirectory,
 * named after the folder's display name (or its raw name when a directory
 * of that name already exists there). */
KQ_API int kq_export_all_folders(const char *config_json);
/* JSON status of the batch, folder by folder. */
KQ_API const char *kq_export_all_status_json(void);

#ifdef __cplusplus
}
#endif

#endif /* KERQUILL_H */
