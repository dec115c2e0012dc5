/* kerquill: read, search and archive one IMAP mailbox from a host program.
 *
 * ==========================================================================
 * Conventions (they hold for every function below unless it says otherwise)
 * ==========================================================================
 *
 * Return values
 *  - Calls that act return int: 0 on success, -1 on failure. The reason of
 *    the failure is then the text of kq_last_error().
 *  - Calls that report return const char *: never NULL. On failure they
 *    return the empty text "" and kq_last_error() says why; where the empty
 *    text is also a normal answer (a field that is empty), the function
 *    says so.
 *
 * Texts
 *  - Every text is a NUL-terminated byte string. JSON going in and out is
 *    UTF-8; a JSON argument that is not valid UTF-8 is refused as invalid
 *    JSON. Paths are UTF-8 (on Windows they are converted to UTF-16, so any
 *    character works); on POSIX they are passed to the system as bytes.
 *  - Mail text handed out is UTF-8: encoded header words (RFC 2047), body
 *    charsets, RFC 2231 file names and modified UTF-7 folder names are
 *    decoded. An unknown charset or a malformed word stays as written, so a
 *    text may hold bytes that are not UTF-8; the JSON texts escape such
 *    bytes as \u00XX and are always valid JSON.
 *  - A returned text is owned by the library; do not free or change it. It
 *    stays valid and unchanged for the calling thread until that same
 *    thread's next call of the same function (each thread has buffers of
 *    its own), whatever other threads call meanwhile. Copy what you keep.
 *  - In the lists of error texts below, <word> stands for a value filled in:
 *    <folder> the folder name as the caller gave it, <uid> a number, <path>
 *    a path, <reason> a further text (the server's words, the system's error
 *    message, or a connection's reason as listed under "Connection texts").
 *
 * Errors
 *  - kq_last_error() is the calling thread's last failure: a failure in one
 *    host thread never changes what another thread reads. Read it right
 *    after the failing call; a successful call may empty it or leave it as
 *    it was.
 *  - Failures inside the export worker and the batch thread (which run on
 *    threads of their own) do not reach kq_last_error(). The host learns of
 *    them from kq_export_status() / kq_export_stats_json() ("state" and
 *    "error") and kq_export_all_status_json() ("state", "errors", "error").
 *  - No exception leaves a kq_ call. Besides the texts each function lists,
 *    any call that can fail may fail with "out of memory" or "internal
 *    error" (the functions marked "Never fails" do not).
 *  - "Busy" below means: while an export job, a restore or a batch export is active
 *    (running or paused) the call returns its failure value at once with
 *    "<function>: an export is running; wait for it or cancel it first"
 *    (<function> is its name, e.g. "kq_search: an export is ...").
 *
 * Connection texts
 *  - Any call that talks to the server may fail with "not connected" (no
 *    connection, or one lost earlier) or with the reason a connection was
 *    lost while it ran:
 *      "server did not answer within <n> s"   (timeout_s of silence)
 *      "connection closed by server"
 *      "receive failed: <reason>", "send failed: <reason>",
 *      "connection failed: <reason>"
 *      "protocol error: <reason>"              (a reply that breaks IMAP's
 *                                               grammar; the connection is
 *                                               dropped)
 *    Calls that walk a folder (kq_search, the export job, the batch) first
 *    connect again, with the same configuration, up to three times with a
 *    pause of 0.5, 1 and 2 s before each try, and report the first reason
 *    only when that fails; a folder whose UIDVALIDITY changed meanwhile
 *    gives "folder <folder> changed generation (UIDVALIDITY <new>, was
 *    <old>) while it was read".
 *  - Calls that open a folder may fail with "invalid mailbox name" (a CR, LF
 *    or NUL in it) and "cannot open mailbox <folder>: <reason>" (the
 *    server's text when it refuses EXAMINE and SELECT, e.g. "Mailbox doesn't
 *    exist: Nope", or the connection's reason).
 *
 * Blocking and time-outs
 *  - A call marked "Server: yes" sends commands and waits for the answers,
 *    so it blocks. The wait is bounded by silence, not by length:
 *    "timeout_s" of kq_connect (120 s when the key is absent) is the longest
 *    the server may send nothing while an answer is awaited; every byte
 *    received starts the clock again, so a large folder or message that
 *    keeps arriving is never cut. Reconnects add up to three connects and
 *    3.5 s of pauses. kq_search_cancel and kq_export_cancel cut a long call
 *    or job short within about a second.
 *  - Calls marked "Server: no" never touch the network; they may read or
 *    write files as they say.
 *
 * Threads
 *  - Any thread may call any function. Calls from several host threads take
 *    turns: one runs at a time, the others wait for it. The polls and
 *    steering calls never wait for another call: kq_export_status,
 *    kq_export_progress, kq_export_stats_json, kq_export_current,
 *    kq_export_pause, kq_export_resume, kq_export_cancel,
 *    kq_restore_status, kq_export_all_status_json, kq_search_progress,
 *    kq_search_cancel, kq_status, kq_last_error and kq_version. Call them from a UI thread
 *    while another thread is inside a long call.
 *  - The library keeps one server connection, one search result, one
 *    fetched message, one background job (an export or a restore), one
 *    batch export and one verification report for the whole process; every
 *    thread sees the same ones.
 *
 * Background jobs
 *  - One job runs at a time: an export (kq_export_start, or a batch's folder
 *    jobs) or a restore (kq_restore_start). Starting one while another is
 *    active fails with "export already running" or "restore already
 *    running" (whichever is active).
 *  - kq_export_progress, kq_export_stats_json, kq_export_current,
 *    kq_export_pause, kq_export_resume and kq_export_cancel act on the job
 *    started last, whichever kind it is; what they do for an export is as
 *    described at each. kq_export_status reports the export job, and
 *    kq_restore_status the restore.
 *  - kq_disconnect first cancels a running or paused export job or restore
 *    (and so a batch) and waits until its thread has let go of the connection.
 *
 * Windows
 *  - The library starts the socket layer (WSAStartup) itself. A worker
 *    thread holds a reference to kerquill.dll, so FreeLibrary while an export
 *    runs leaves the code mapped until the worker ends. Before the host ends
 *    the process or unloads the DLL it should still call kq_disconnect (or
 *    kq_export_cancel and wait until kq_export_status() is no longer 1 and
 *    kq_export_all_status_json() reports no running batch): ExitProcess kills
 *    a worker wherever it is, which may leave a half-written file behind
 *    (the manifest and resume state stay consistent, as after a crash).
 *
 * Debugging
 *  - With the environment variable KQ_DEBUG set, read failures are traced to
 *    stderr. When its value holds "imap", every kq_connect after that also
 *    traces the IMAP conversation to stderr (passwords and tokens
 *    redacted).
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

/* ==========================================================================
 * Connection
 * ========================================================================== */

/* Connects and logs in; drops any earlier connection first (even when the
 * new one then fails; not when the call is refused as busy).
 *
 * config_json  NULL not allowed (gives "empty config"). A JSON object:
 *   "host"        text, required: name or address of the server
 *   "port"        number, default 993
 *   "ssl"         0 plain TCP, 1 (default) TLS from the first byte,
 *                 2 plain TCP upgraded with STARTTLS (required: a server
 *                 without it is refused); true/false count as 1/0
 *   "user"        text, required (at most 255 bytes are used)
 *   "pass"        text: password for LOGIN
 *   "oauth_token" text: bearer token for SASL XOAUTH2 (not with "pass")
 *   "ca_file"     text: PEM or DER file of trusted CA certificates;
 *                 default: the system's bundle (Windows: the ROOT store)
 *   "tls_verify"  1 (default): the certificate must chain to a trusted CA
 *                 and match "host"; 0: any certificate is accepted
 *   "timeout_s"   number, default 30: the TCP connect time-out per address
 *                 and the longest silence while an answer is awaited (see
 *                 "Blocking and time-outs"; without the key, 120 s of
 *                 silence; 0 or less: 10 s to connect, 120 s of silence)
 *   "compress"    1 (default): after login, when the server offers
 *                 COMPRESS=DEFLATE, both directions are compressed (a
 *                 server that refuses it is used uncompressed); 0: never;
 *                 true/false count as 1/0
 *   "max_message_bytes"  number, default 268435456, at least 1024: the most
 *                 literal bytes one answer may hold; a message over it is
 *                 read off the wire, not stored, and reported by its UID
 *   Texts are cut at 255 bytes (host, user), 511 (pass, oauth_token,
 *   ca_file). Unknown keys are ignored.
 * Returns 0 logged in (kq_status() 2), -1 on failure (kq_status() 0, except
 *   when refused as busy: the job's connection is left alone).
 * Errors: busy ("kq_connect: an export is running; ..."),
 *   "empty config", "invalid config JSON", "config missing host",
 *   "config missing user", "use either pass or oauth_token",
 *   "invalid config: ssl must be 0, 1 or 2",
 *   "invalid config: <ssl|tls_verify|compress> must be a number or
 *   true/false",
 *   "invalid config: max_message_bytes must be a number of at least 1024",
 *   "cannot resolve host <host>", "connect to <host>:<port> failed",
 *   "cannot read ca_file <path>: <reason>",
 *   "no CA certificates (set ca_file, or tls_verify 0)",
 *   "TLS handshake failed: no answer from server within <n> s",
 *   "TLS handshake failed: <reason>" (a TLS connection to a plain IMAP port
 *     ends "... is this a plain IMAP port? use ssl 0 or 2"; a certificate
 *     that is not trusted names ca_file and tls_verify),
 *   a plain connection ("ssl" 0 or 2) to a TLS port is said at once,
 *   "ctr_drbg seed failed", "ssl_config_defaults failed",
 *   "no greeting from server", "no greeting from server: <reason>",
 *   "unexpected greeting: <first 80 bytes of it>", "CAPABILITY failed",
 *   "server does not offer STARTTLS; not logging in without encryption",
 *   "STARTTLS refused by server",
 *   "the server refuses plain-text login (LOGINDISABLED): connect with TLS
 *     (ssl 1) or STARTTLS (ssl 2)" (no password or token is sent then),
 *   "IMAP authentication failed: <the server's text or the connection's
 *     reason>",
 *   "IMAP authentication failed (bad credentials or provider rejected
 *     mechanism)", "base64 encode failed", and the connection texts.
 * Server: yes. Blocks for name resolution (the system resolver's own time),
 *   the TCP connect (timeout_s per address), the TLS handshake (at most the
 *   silence time-out in all) and the greeting, STARTTLS and login (each
 *   bounded by silence).
 * Threads: takes turns; refused while an export or batch is active. */
KQ_API int kq_connect(const char *config_json);

/* Stops a running or paused export job and batch (as kq_export_cancel) and
 * waits until their thread has let go of the connection, then logs out
 * (waiting at most 5 s for the answer) and closes the connection. The search
 * result and the fetched message stay readable.
 * Returns 0, always; never fails.
 * Server: yes (LOGOUT). Blocks until a job has stopped (about a second after
 *   the cancel) plus at most 5 s for LOGOUT.
 * Threads: takes turns; allowed while an export is active (that is how one
 *   is stopped). */
KQ_API int kq_disconnect(void);

/* The connection's state: 0 no connection (never made, closed, or lost),
 * 1 connected but not logged in, 2 logged in. A connection lost while a
 * command was in flight (a silent server, a reset, or a kq_search_cancel
 * that had to close it) reads 0.
 * Never fails; sets no error. Server: no (it reports what the last reply
 *   showed; it sends nothing).
 * Threads: never waits for another call. */
KQ_API int kq_status(void);

/* The text of the calling thread's last failure (at most 511 bytes; "" when
 * this thread had none, or its last call succeeded and emptied it).
 * Returns never NULL. Server: no.
 * Threads: never waits; each thread reads its own failure. The pointer is
 *   per thread and stays valid for that thread; the text changes with the
 *   thread's next kq_ call that fails (or succeeds and empties it).
 *   Failures of the export worker and the batch thread are not here (see
 *   kq_export_stats_json, kq_export_all_status_json). */
KQ_API const char *kq_last_error(void);

/* The library's version, "major.minor.patch" (e.g. "0.2.0"). A static text:
 * valid for the life of the library.
 * Never fails. Server: no. Threads: never waits. */
KQ_API const char *kq_version(void);

/* ==========================================================================
 * Folders
 * ========================================================================== */

/* Lists every folder the server reports (LIST "" "*") and opens each one
 * read-only to count it. A JSON array, in the server's order:
 *   [{"name","display","count","uid_min","uid_max","total_bytes","oldest",
 *     "newest","delimiter"},...]
 *   "name"     exactly as the server sent it (modified UTF-7)
 *   "display"  the same in UTF-8 (a name that is not valid modified UTF-7
 *              is shown as it is)
 *   "count"    messages; "uid_min", "uid_max": lowest and highest UID (0 for
 *              an empty folder or one that cannot be opened)
 *   "total_bytes", "oldest", "newest": always 0, "", "" in this listing
 *   "delimiter" the server's hierarchy delimiter for this name (e.g. "/" or
 *              "."), "" where the server has no hierarchy (NIL)
 * Every call that takes a folder accepts either its "name" or its "display".
 * A folder that cannot be opened (a \Noselect parent) is listed with zeros;
 * the call still succeeds, and kq_last_error() may then hold "cannot open
 * mailbox <folder>: <reason>".
 * Returns the JSON, or "" on failure.
 * Errors: busy, "not connected", "LIST failed", the connection texts.
 * Limits: at most 511 folders (the rest are left out); names over 511 bytes
 *   are cut (such a folder is not opened); the text is at most 262,143 bytes.
 * Server: yes: one LIST and one EXAMINE (and searches) per folder,
 *   pipelined where the server offers ESEARCH.
 * Threads: takes turns; refused while an export or batch is active.
 * Lifetime: until this thread's next kq_folders_json. */
KQ_API const char *kq_folders_json(void);

/* Estimates a folder's size and its share of messages with attachments
 * from at most 30 messages spread evenly over it (their size and
 * Content-Type only; nothing is marked read):
 *   {"folder","total_messages","total_bytes" (sum of the sampled sizes),
 *    "estimated_bytes","oldest"(""),"newest"(""),"sampled",
 *    "attachment_pct" (one decimal),"uid_min","uid_max"}
 * folder  NULL or "" not allowed ("no folder"); UTF-8 or modified UTF-7.
 * Returns the JSON, or "" on failure.
 * Errors: busy, "no folder", "not connected", "invalid mailbox name",
 *   "cannot open mailbox <folder>: <reason>", the connection texts.
 * Server: yes (EXAMINE, a UID search, one FETCH of the sample).
 * Threads: takes turns; refused while an export or batch is active.
 * Limits: the text is at most 4,095 bytes.
 * Lifetime: until this thread's next kq_probe_folder. */
KQ_API const char *kq_probe_folder(const char *folder);

/* ==========================================================================
 * Search
 * ========================================================================== */

/* Searches a folder on the client and fills the result table: the server
 * names the folder's UIDs (UID SEARCH within the criteria's UID range), then
 * sends size, internal date, structure and the From, To, Subject and
 * Content-Type lines of each; the criteria are applied here. Rows are in
 * ascending UID order.
 *
 * folder  NULL or "" not allowed ("no folder"); UTF-8 or modified UTF-7.
 * criteria_json  NULL allowed (no filter). A JSON object; every key
 *   optional, unknown keys ignored, a key whose value is null counts as
 *   absent, anything that is not a JSON object means no filter:
 *   "since", "before"  "YYYY-MM-DD": received at or after / before 00:00 UTC
 *                      of that day (the server's INTERNALDATE with its zone)
 *   "from", "to", "subject"  text: the decoded header contains it, ignoring
 *                      letter case (Latin, Greek, Cyrillic included)
 *   "min_bytes"        number: at least this size
 *   "has_attachments"  1/true with, 0/false without, negative: either
 *   "uid_min", "uid_max"  number: the UID range (default: every message)
 * Returns 0 when the scan ran (also with no hits), -1 on failure.
 * The previous result: kept when the call fails before the folder is open
 *   (busy, "no folder", "not connected", "bad criteria", "cannot open
 *   mailbox"); once the folder is open it is replaced, and a search that
 *   does not finish (lost connection, cancel, messages missing) leaves an
 *   empty result, never a part of one.
 * Errors: busy, "no folder", "not connected", "bad criteria: <key>" (a value
 *   of the wrong type, a day that does not exist, "has_attachments" above
 *   1), "invalid mailbox name", "cannot open mailbox <folder>: <reason>",
 *   "UID SEARCH failed: <reason>",
 *   "<n> messages could not be fetched: UIDs <set>[ and <n> more] (<the
 *     server's last reason>)" (or "1 message could not be fetched: UID
 *     <uid> ..."), "folder <folder> changed generation (UIDVALIDITY <new>,
 *   was <old>) while it was read", "search cancelled" (kq_search_cancel),
 *   the connection texts.
 * Limits: at most 200,000 rows (the lowest UIDs are kept).
 * Server: yes; blocks for the whole scan (bounded by silence; cut short
 *   within about a second by kq_search_cancel).
 * Threads: takes turns; refused while an export or batch is active. */
KQ_API int kq_search(const char *folder, const char *criteria_json);

/* Progress of the running search: the share of the UIDs to fetch whose rows
 * have been received, 0.0 to 1.0. It is 0.0 when a search starts and moves
 * as rows arrive; 1.0 once a search has ended well; after a failed or
 * cancelled search it stays where that search stopped.
 * Never fails. Server: no. Threads: never waits (made to be called from
 * another thread while kq_search runs). */
KQ_API double kq_search_progress(void);

/* Stops a running kq_search from another thread. It takes effect within
 * about a second even while commands are in flight: what is on the wire is
 * read off and dropped for half a second, or, when the server is still
 * sending then, the connection is closed (kq_status() then reads 0 and a new kq_connect is needed). The
 * kq_search call then returns -1 with "search cancelled" and leaves an
 * empty result.
 * Returns 0 when taken, -1 when no search runs (sets no error text).
 * Server: no (the search's own thread does the talking).
 * Threads: never waits. */
KQ_API int kq_search_cancel(void);

/* Number of rows of the current result (0 before any search).
 * Never fails. Server: no. Threads: takes turns. */
KQ_API int kq_search_count(void);

/* Field of a result row, as text:
 *   "uid"       decimal
 *   "from", "to", "subject"  the header value, folded lines joined, encoded
 *               words decoded to UTF-8; cut between characters at 511, 511
 *               and 1,023 bytes
 *   "date"      the server's INTERNALDATE, e.g. " 7-Jul-2024 09:05:00 +0200"
 *   "bytes"     the server's size of the message
 *   "has_attachments"  "1", "0", or "-1" (the server sent no structure and
 *               the top Content-Type cannot tell)
 * index  0 to kq_search_count() - 1.  key  NULL allowed (gives "").
 * Returns the text; "" for a bad row or key (no error text is set).
 * Server: no. Threads: takes turns.
 * Lifetime: until this thread's next kq_search_field. */
KQ_API const char *kq_search_field(int index, const char *key);

/* ==========================================================================
 * Fetch one message
 * ========================================================================== */

/* Downloads the message of a result row (BODY.PEEK[]: its \Seen flag is not
 * changed), opening the row's folder when another one is open. The message,
 * its header and body text and its attachment table replace the previous
 * fetched message only when the call succeeds.
 * index  0 to kq_search_count() - 1 (checked first, also without a
 *   connection).
 * Returns 0, or -1.
 * Errors: busy, "bad index", "not connected", "fetch uid <uid> failed" (the
 *   command failed or the folder could not be opened), "fetch uid <uid>
 *   failed: <the connection's reason>", "empty message body" (no message
 *   came back, e.g. it was expunged), "message uid <uid> is larger than
 *   max_message_bytes (<n> bytes)", "oom".
 * Server: yes (a SELECT when needed and one UID FETCH; bounded by silence).
 * Threads: takes turns; refused while an export or batch is active. */
KQ_API int kq_fetch(int index);

/* Downloads the message with this UID in folder as kq_fetch does, without
 * reading or changing the search result.
 * folder  NULL or "" not allowed; UTF-8 or modified UTF-7.
 * uid     1 to 4294967295.
 * Returns 0, or -1.
 * Errors: as kq_fetch, with "no folder", "bad uid" (0) and
 *   "no message with uid <uid> in <folder>" instead of "bad index" and
 *   "empty message body".
 * Server: yes. Threads: takes turns; refused while an export or batch is
 *   active. */
KQ_API int kq_fetch_uid(const char *folder, unsigned int uid);

/* Header block of the fetched message, raw (nothing decoded): the bytes from
 * its start through its first blank line (CR LF CR LF or LF LF), included.
 * Returns "" when nothing was fetched (no error text).
 * Limits: cut at 262,143 bytes.
 * Server: no. Threads: takes turns.
 * Lifetime: until this thread's next kq_fetch_header. */
KQ_API const char *kq_fetch_header(void);

/* Readable body text of the fetched message, in UTF-8:
 *  - a single-part text/... or message/rfc822 message, or one without a
 *    Content-Type (text/plain US-ASCII): its decoded body;
 *  - a multipart message: the first part, depth-first in document order,
 *    whose Content-Type holds "text/" or "message/rfc822" (an alternative
 *    that lists HTML first gives the HTML);
 *  - HTML: every tag becomes one blank, then &amp; &lt; &gt; &quot; &apos;
 *    &nbsp; and numeric references to characters 32 to 127 are decoded;
 *  - any other single part: "[binary content: <Content-Type value>]".
 * Base64 and quoted-printable are decoded, then the part's charset is
 * converted to UTF-8 (no charset, an unknown one or bytes that break it:
 * shown as they are).
 * Returns "" when nothing was fetched (no error text).
 * Limits: ends at the first NUL byte; cut at 1,048,575 bytes, between
 *   characters.
 * Server: no. Threads: takes turns.
 * Lifetime: until this thread's next kq_fetch_body_text. */
KQ_API const char *kq_fetch_body_text(void);

/* Writes the fetched message, byte for byte as the server sent it, to path
 * (created or replaced).
 * path  NULL or "" not allowed ("no path").
 * Returns 0, or -1.
 * Errors: "no path", "nothing fetched", "cannot write <path>: <reason>".
 * Server: no (a file is written). Threads: takes turns. */
KQ_API int kq_fetch_save(const char *path);

/* ==========================================================================
 * Attachments of the fetched message
 * ========================================================================== */

/* Number of attachment rows of the fetched message (0 when nothing was
 * fetched). A part is an attachment when it is not a container and has a
 * file name, or a disposition holding "attachment", or a Content-Type that
 * is not text, message or multipart. Rows follow document order,
 * depth-first; a forwarded message/rfc822 marked as attachment is one row.
 * Limits: at most 256 rows; containers deeper than 32 levels are not looked
 *   into.
 * Never fails. Server: no. Threads: takes turns. */
KQ_API int kq_attachment_count(void);

/* Field of an attachment row:
 *   "name"   the decoded file name (Content-Disposition filename, else the
 *            Content-Type name; RFC 2231 and RFC 2047 forms decoded), else
 *            "attachment-<index>.<extension of its type>" (".bin" for an
 *            unknown type, ".txt" without a Content-Type)
 *   "ctype"  the whole Content-Type value with its parameters ("" without)
 *   "size"   bytes of the part's body as stored, before transfer decoding
 * ignored  not used; pass NULL.  index  0 to kq_attachment_count() - 1.
 * key      NULL allowed (gives "").
 * Returns the text; "" for a bad row or key (no error text).
 * Server: no. Threads: takes turns.
 * Lifetime: until this thread's next kq_attachment_field. */
KQ_API const char *kq_attachment_field(const char *ignored, int index, const char *key);

/* Decodes attachment row index and writes it as a new file directly inside
 * the existing directory dir. The file name is the row's name cut to what
 * follows its last '/' or '\'; control characters and ':' become '_'; "",
 * "." and ".." become "attachment"; Windows device names (con, nul, com1,
 * ...) get a leading '_'; a name over 255 bytes is cut inside its stem,
 * between characters, keeping the extension. Never replaces anything nor
 * follows a link already there (even a dangling one): a taken name becomes
 * "name (2).ext", "name (3).ext", ... until one is free. The path used is
 * then given by kq_attachment_saved_path().
 * ignored  not used; pass NULL.  dir  NULL or "" not allowed; UTF-8.
 * Returns 0, or -1 (no file is left behind: a file cut short is removed).
 * Errors: "no dir", "bad attachment index", "nothing fetched",
 *   "attachment <index> not found" (no memory to decode it),
 *   "cannot decode attachment <index>" (Base64 with a byte outside its
 *   alphabet; nothing written), "path too long",
 *   "cannot write <path>: <reason>", "no free file name for <name> in <dir>".
 * Server: no (a file is written). Threads: takes turns. */
KQ_API int kq_attachment_save(const char *ignored, int index, const char *dir);
/* The full path of the file the last kq_attachment_save wrote: dir as
 * given, '/', and the file name it chose (with its " (2)" when the first
 * name was taken, e.g. "photo (2).png"). "" before the first save, after a
 * save that failed and once another message is fetched.
 * Never fails. Server: no. Threads: takes turns.
 * Lifetime: until this thread's next kq_attachment_saved_path. */
KQ_API const char *kq_attachment_saved_path(void);

/* ==========================================================================
 * Export job (runs on a thread of its own)
 * ========================================================================== */

/* Starts exporting the current search result on a worker thread: one .eml
 * file per message, optionally all.mbox, manifest.jsonl (a SHA-256 digest per
 * message) and resume.json (rewritten about every 2 s and when the job ends,
 * so a later job into the same directory skips what is stored). The job keeps
 * its own copy of the result: a later search does not change what it
 * exports. It uses the one connection until it ends.
 *
 * config_json  NULL not allowed ("empty config"). A JSON object:
 *   "dir"      text, required unless "archive_root" is given: the archive
 *              directory (created with its parents; trailing '/' and '\'
 *              dropped); at most 4,095 bytes
 *   "archive_root"  text, instead of "dir": an export-all directory; the
 *              archive is then the subdirectory kq_export_all_folders gives
 *              the searched folder there, named in kq_export_stats_json's
 *              "dir" ("dir too long" when the two exceed 4,095 bytes)
 *   "format"   text holding "mbox" (e.g. "eml+mbox"): also write all.mbox;
 *              holding "maildir" (e.g. "maildir", "maildir+mbox"): the
 *              directory is a Maildir instead of .eml files: cur/, new/
 *              and tmp/, each message one file in cur/ named
 *              "<INTERNALDATE secs>.U<uidvalidity>_<uid>.kerquill:2,<flags>",
 *              flags the letters of the system flags it had when fetched
 *              (D \Draft, F \Flagged, R \Answered, S \Seen, T \Deleted,
 *              in that order; "!2," for ":2," on Windows); a flag changed
 *              later on the server does not rename the file. Default: .eml
 *              only
 *   "naming"   text holding "YYYY" (any case, e.g. "YYYY\\MM\\uid"): each
 *              message in a YYYY-MM subdirectory; default: flat (not used
 *              for a Maildir)
 *   "resume"   number, default 1: non-zero skips what the archive holds
 *   "manifest" number, default 1: non-zero keeps manifest.jsonl: one JSON
 *              line per message with "uid", "folder", "uidvalidity",
 *              "file" (relative, '/'-separated; "cur/..." in a Maildir),
 *              "sha256", "size", "from", "subject", "date", "ts" and, last,
 *              "flags": the message's IMAP flags when fetched, as sent
 *              (["\\Seen", "$Label1"]; \Recent left out). Lines of archives
 *              written before flags were recorded lack "flags" and stay
 *              valid; "labels": the Gmail labels (X-GM-EXT-1 servers only).
 *              With resume on, the flags of messages already stored are
 *              asked for again (only those changed since, with CONDSTORE)
 *              and each change appended as a flag line: "uid", "folder",
 *              "uidvalidity", "flags", ["labels",] "ts_flags" (UTC seconds),
 *              no "file"; the latest line for a UID gives its flags
 *   "folder"   text: export that whole folder instead of the search result
 *              (no kq_search needed). The job asks the server for the
 *              folder's UIDs and fetches headers and bodies only of those
 *              the archive lacks (with "resume"), as kq_export_all_folders
 *              does for each folder: a re-run with nothing new fetches no
 *              message data
 *   Other keys ("parallel", "attachments") are accepted and have no effect.
 * Returns 0 when the worker started, -1 when the job was refused.
 * Errors (of the start): "empty config", "export already running" (a job
 *   or a batch is active), "no search results <U+2014> call kq_search first"
 *   (<U+2014>: an em dash, UTF-8 bytes E2 80 94), "not connected",
 *   "invalid export config JSON", "config missing dir" (neither "dir"
 *   nor "archive_root"), "dir too long",
 *   "<dir> holds the archive of folder "<other>", not of "<folder>";
 *   nothing was changed", "archive <dir> is in use by another run (pid
 *   <n>)" (another job or process holds the directory; nothing in it was
 *   read or changed), "cannot write <dir>: <reason>", "thread create
 *   failed".
 * Hold: the job holds dir (an OS lock on the file ".kerquill.lock" in it,
 *   which the system releases when the process ends, however it ends) from
 *   the start until it ends, so two runs never write one archive.
 * Errors of the running job (state 4; in kq_export_stats_json's "error",
 *   not in kq_last_error): "cannot open mailbox <folder>: <reason>",
 *   "cannot write <path>: <reason>", "<path> already holds a different
 *   message; it is not replaced", "<n> messages could not be fetched: UIDs
 *   <set>[ and <n> more] (<the server's last reason>)", "folder <folder>
 *   changed generation (UIDVALIDITY <new>, was <old>) while it was read",
 *   "out of memory", the connection texts.
 * Server: the call itself no (it checks the connection); the job yes.
 * Threads: takes turns; the job then runs on its own thread. */
KQ_API int kq_export_start(const char *config_json);

/* The job's state: 0 idle (no job yet, or the last start was refused),
 * 1 running, 2 done (every row went through), 3 paused (the job still holds
 * its thread and the connection) or cancelled (ended), 4 error (see
 * kq_export_stats_json's "error"). kq_export_stats_json's "state" tells a
 * pause from a cancel.
 * Never fails. Server: no. Threads: never waits. */
KQ_API int kq_export_status(void);

/* Share of the job done (the job started last: an export or a restore):
 * done / total, 0.0 to 1.0 (0.0 until the worker has
 * counted the messages).
 * Never fails. Server: no. Threads: never waits. */
KQ_API double kq_export_progress(void);

/* Figures of the current or last job (a batch's current folder job; for a
 * restore started last, the restore's: see kq_restore_start):
 *   {"done","total","bytes","eta_s","speed_bps","state"} and, only when
 *   they apply, "vanished", "retries", "reconnects", "dir", "recreated",
 *   "error".
 *   "done"       messages stored by this job; "total": messages it has to
 *                store (0 until counted); "bytes": server sizes of those
 *                stored
 *   "eta_s"      seconds left; 0 without an estimate (not running, speed of
 *                1 B/s or less, more than a year)
 *   "speed_bps"  bytes per second, sampled about once a second
 *   "state"      "idle", "running", "paused", "cancelled", "done", "error"
 *   "vanished"   messages the server confirmed gone before their turn
 *   "retries"    commands asked for again after a partial, refused or
 *                throttled answer
 *   "reconnects" connections made again during the job
 *   "dir"        of a job started with "archive_root": the directory it
 *                chose (a subdirectory of that root)
 *   "recreated"  true: the folder's UIDVALIDITY differs from the archive's
 *                (deleted and created again); the new messages are stored
 *                beside the old ones, in files named
 *                uid-<uid>.v<uidvalidity>.eml
 *   "error"      with "state" "error": why the job failed (the texts listed
 *                under kq_export_start)
 * Before any job every number is 0 and "state" is "idle".
 * Never fails. Server: no. Threads: never waits.
 * Lifetime: until this thread's next kq_export_stats_json. */
KQ_API const char *kq_export_stats_json(void);

/* For a restore started last: the archive file being restored.
 * For an export: "<folder>  uid=<uid>  <subject>" of the message being stored; after a
 * failure the message it failed on; "" before the first and after a normal
 * end.
 * Never fails. Server: no. Threads: never waits.
 * Limits: at most 1,023 bytes.
 * Lifetime: until this thread's next kq_export_current. */
KQ_API const char *kq_export_current(void);

/* Acts on the job started last, an export or a restore (a restore finishes
 * the batch of messages in flight, then waits).
 * Pause: taken while the job runs (status 1); the message being stored is
 * finished first, then the status becomes 3 ("paused") and the job waits,
 * holding the connection.
 * Returns 0 when taken, -1 when the job is in no state for it (no error
 * text is set).
 * Server: no. Threads: never waits; any thread, in any order with
 *   kq_export_resume and kq_export_cancel: no sequence leaves a job stuck. */
KQ_API int kq_export_pause(void);

/* Acts on the job started last, an export or a restore.
 * Resume: taken while the job is paused, and also while a pause is still
 * taking effect (that pause is then called off); the status returns to 1.
 * Returns 0 when taken, -1 otherwise (not paused, cancelled, ended; no error
 * text is set).
 * Server: no. Threads: never waits. */
KQ_API int kq_export_resume(void);

/* Cancel: taken for any job that has not ended (an export or a restore),
 * paused ones included, and for a running batch (which then ends with the folder it is at). It takes
 * effect within about a second, also while a message body is arriving; the
 * job ends in status 3 ("cancelled"), with what it stored kept and resumable
 * (a message only partly received is not stored). Answers already on their
 * way are read off for half a second; when the server is still sending
 * then, the connection is closed (kq_status() reads 0: call kq_connect
 * before the next call that talks to the server).
 * Returns 0 when taken, -1 when no job or batch is active (no error text).
 * Server: no. Threads: never waits. */
KQ_API int kq_export_cancel(void);

/* ==========================================================================
 * Restore job (runs on a thread of its own)
 * ========================================================================== */

/* Puts one archive folder's messages back on the server, each exactly once,
 * with its INTERNALDATE and (optionally) its flags: a worker thread APPENDs
 * the messages manifest.jsonl lists for the archive's current UIDVALIDITY
 * generation (a later line with a uid and "flags" but no "file" replaces
 * that message's flags). Each file is re-hashed first: one that is missing
 * or whose SHA-256 differs from the manifest's is not sent, and reported.
 * Every message the server took is recorded in <dir>/restore.jsonl (its
 * SHA-256, the server "host:port/user", the target folder and, when the
 * server has UIDPLUS, the folder's UIDVALIDITY and the new UID). A later
 * restore of the same dir skips what that ledger places on this server's
 * folder under its present UIDVALIDITY; when the folder held messages
 * before the run, every other message is first looked for on the server
 * (UID SEARCH HEADER Message-ID, or by size without one; then size and
 * SHA-256 of the candidate) and not sent again when there. A run killed at
 * any point and started again so leaves every message there once.
 * Flags: \Recent is never sent; a keyword the folder's PERMANENTFLAGS
 * lacks is left out unless they hold \*; a message refused with its flags
 * is sent once more without them. Commands are pipelined (LITERAL+, or
 * LITERAL- for messages up to 4,096 bytes; synchronizing literals
 * otherwise, one at a time).
 *
 * config_json  NULL not allowed ("empty config"). A JSON object:
 *   "dir"      text, required: one archive folder's directory, as
 *              kq_export_start writes it (holding manifest.jsonl)
 *   "folder"   text: the target folder (UTF-8, or modified UTF-7 as the
 *              server lists it); at most 1,000 bytes. Absent or empty: the
 *              archive's own folder, the name manifest.jsonl records for
 *              its current generation (as the source server sent it), with
 *              "prefix" before it
 *   "prefix"   text, only without "folder": UTF-8 put before the archive's
 *              own folder name, e.g. "Old/" restores "Entw&APw-rfe" into
 *              "Old/Entwürfe"; at most 1,000 bytes; default none. Giving
 *              both "folder" and "prefix" is refused
 *   "create"   number, default 1: non-zero CREATEs the folder when missing;
 *              0: a missing folder fails the job
 *   "flags"    number, default 1: non-zero restores the flags; 0: none
 * Returns 0 when the worker started, -1 when refused.
 * Errors (of the start): "empty config", "export already running",
 *   "restore already running", "invalid restore config JSON", "config
 *   missing dir", "give folder or prefix, not both", "folder name too
 *   long", "no manifest in <dir>", "not connected", "archive <dir> is in
 *   use by another run (pid <n>)", "thread create failed".
 * Hold: the job holds dir, as an export does, until it ends.
 * Progress and steering: kq_export_progress, kq_export_stats_json,
 *   kq_export_current, kq_export_pause, kq_export_resume and
 *   kq_export_cancel act on the restore while it is the job started last.
 *   Its kq_export_stats_json carries, besides the common figures ("done"
 *   and "total" count messages, "bytes" their sizes):
 *   "kind":"restore", "restored" (sent by this run), "present" (on the
 *   server already: by the ledger or found there), "failed" (not restored)
 *   and "failures": [{"uid":<archive uid>,"reason":<text>}], the reasons
 *   "file missing: <file>", "cannot read <file>", "sha256 does not match
 *   the manifest: <file>", "server refused: <the server's words>"; and
 *   "folder": the target folder in UTF-8, once the job has settled it (the
 *   archive's own name is read with the manifest, after the start).
 * Errors of the running job (state 4; in kq_export_stats_json's "error"):
 *   "not restored: uid <uid>, <uid>, ... (<first reason>[, ...])" (the run
 *   went on and ended with these left; at most 20 UIDs named), "cannot open
 *   folder <folder>: <reason>", "cannot create folder <folder>: <reason>",
 *   "the manifest of <dir> names no folder" (no "folder" given), "folder
 *   name too long" (the prefix and the archive's name together),
 *   "cannot read <dir>/manifest.jsonl", "cannot write <path>: <reason>",
 *   "out of memory", the connection texts. A lost connection or a cancel
 *   leaves a message whose answer never came unrecorded: the next run looks
 *   for it on the server first.
 * Server: the call itself no (it checks the connection); the job yes.
 * Threads: takes turns; the job then runs on its own thread. */
KQ_API int kq_restore_start(const char *config_json);

/* The restore's state, as kq_export_status gives an export's: 0 idle, 1
 * running, 2 done (every message restored or present), 3 paused or
 * cancelled, 4 error (see kq_export_stats_json's "error").
 * Never fails. Server: no. Threads: never waits. */
KQ_API int kq_restore_status(void);

/* ==========================================================================
 * Archives on disk (no server needed; allowed while an export runs)
 * ========================================================================== */

/* Re-hashes (SHA-256) every file that dir/manifest.jsonl lists and compares
 * it with the digest recorded; then checks that every UID resume.json lists
 * has an entry. The verdicts go to kq_verify_report_json.
 * dir  NULL or "" not allowed ("no dir": the previous report is kept);
 *   UTF-8.
 * Returns 0 once the manifest was read to its end, whatever the verdicts;
 *   -1 on failure (except after "no dir" the report starts anew: empty, or
 *   holding what was read before a read error).
 * Errors: "no dir", "no manifest.jsonl in <dir>", "manifest.jsonl in <dir>
 *   is not a regular file", "cannot read manifest.jsonl in <dir>".
 * Limits: memory grows by a few bytes per distinct message, not with sizes.
 * Server: no (reads files). Threads: takes turns; allowed while an export
 *   or a batch is active. */
KQ_API int kq_verify_dir(const char *dir);

/* JSON report of the last verification:
 *   {"ok","missing","corrupt","total","files":[{"uid","file","status"}],
 *    "unreadable_lines","duplicates","unlisted","resume","intact",
 *    "bad_lines","duplicate_uids","unlisted_uids"}
 * (README.md gives each key.) Before any verification: the empty report,
 * with "intact":true.
 * Never fails. Server: no. Threads: takes turns.
 * Limits: at most 2,097,151 bytes; failing entries that do not fit are left
 *   out, the counters stay exact.
 * Lifetime: until this thread's next kq_verify_report_json. */
KQ_API const char *kq_verify_report_json(void);

/* JSON summary of an archive from its manifest (no message file is read):
 *   {"messages","bytes","oldest","newest","unreadable_lines","duplicates"}
 * dir  NULL or "" not allowed; UTF-8.
 * Returns the JSON, or "" on failure.
 * Errors: "no dir", "no manifest.jsonl in <dir>", "manifest.jsonl in <dir>
 *   is not a regular file", "cannot read manifest.jsonl in <dir>"; on
 *   success kq_last_error() is left as it was.
 * Server: no. Threads: takes turns; allowed while an export is active.
 * Lifetime: until this thread's next kq_archive_stats_json. */
KQ_API const char *kq_archive_stats_json(const char *dir);

/* ==========================================================================
 * Batch export of every folder (runs on a thread of its own)
 * ========================================================================== */

/* Exports each folder in turn into its own subdirectory of one directory,
 * named after the folder's display name with '/', '\' and '"' as '_' (or
 * its raw name when a directory of that name already exists there; "~2",
 * "~3" ... when two folders would share one). With "resume" and "manifest"
 * on, each folder's run fetches only what its archive lacks.
 *
 * config_json  NULL not allowed ("empty config"). A JSON object:
 *   "dir"      text, required: created with its parents; at most 4,095 bytes
 *   "folders"  array of texts: the folders, in order (default or empty:
 *              every folder the server lists); at most 511, each cut to
 *              1,023 bytes; repeated names and non-texts skipped
 *   "naming"   as for kq_export_start; default "YYYY\\MM\\uid"
 *   "format"   as for kq_export_start, for every folder's archive ("mbox":
 *              an all.mbox in each subdirectory; "maildir": each one a
 *              Maildir); default: .eml only
 *   "resume", "manifest"  numbers, default 1 (not a number: 0)
 *   "since"    "YYYY-MM-DD": only the messages received at or after 00:00
 *              UTC of that day (the server's INTERNALDATE with its zone),
 *              as kq_search's "since" chooses them; each folder is then
 *              searched, and with "resume" what its archive holds is
 *              skipped. Default (absent or null): every message
 *   "connections"  number, default 1: folders exported at once, each on a
 *              connection of its own, logged in with kq_connect's settings
 *              (the password or token it was given; nothing is asked
 *              again). At most 8 (more is taken as 8); 0, negative or not
 *              a number: 1. Only a run with "resume" and "manifest" on and
 *              no "since" uses more than one: a searched folder fills the
 *              one search result of the process, so those folders take
 *              turns on kq_connect's connection. A connection the server
 *              refuses (too many logins of the user, [LIMIT], a BYE at the
 *              greeting) is simply not used: the run goes on with those it
 *              got, at least kq_connect's own ("connections" in
 *              kq_export_all_status_json says how many). A connection lost
 *              in the middle of a folder is made again as kq_connect's is;
 *              when that fails its folder goes to another connection, and
 *              a folder that none could finish fails the run. Folders may
 *              end out of order; each still gets its own subdirectory.
 *              Each further connection is logged out when the run ends,
 *              however it ends
 *   "parallel" accepted (1 to 4), no effect
 * Returns 0 once the batch thread runs, -1 when refused (the status of an
 *   earlier batch is then cleared).
 * Errors (of the start): "batch already running", "empty config",
 *   "not connected", "export already running", "invalid batch config JSON",
 *   "bad since" (not a text naming a real day as "YYYY-MM-DD"),
 *   "dir too long", "config missing dir", "no folders found",
 *   "archive <dir> is in use by another run (pid <n>)", "cannot write
 *   <dir>: <reason>", "thread create failed" ("no folders found" also when
 *   the server's folder list cannot be had).
 * Hold: the batch holds dir for the whole run, and each folder's job its
 *   subdirectory, as kq_export_start does; a folder whose subdirectory
 *   another run holds fails with that text.
 * Failures of the run (in kq_export_all_status_json, not in kq_last_error):
 *   "search <folder> failed: <reason>", "export <folder> failed: <reason>"
 *   (the job did not start), "export <folder> error: <reason>" (the job
 *   failed), "export <folder> cancelled", "export <folder> incomplete: more
 *   than 200000 messages" (with "resume" 0), "<n> folders failed; the
 *   first: <reason>", "batch stopped: out of memory".
 * Server: the call lists the folders when none are given (LIST); the batch
 *   thread does the rest. With "resume" and "manifest" on it asks STATUS of
 *   up to 16 folders ahead at once (a folder whose count is 0 is then not
 *   opened), and a folder's EXAMINE and the FETCH of its rows go out
 *   together; rows that do not cover every message the folder holds are
 *   set aside and the folder's UIDs searched as before.
 * Threads: takes turns; the batch then runs on its own thread (and each
 *   further connection on one of its own) and refuses other server calls
 *   (busy) until it ends. Steer it with kq_export_pause, kq_export_resume
 *   and kq_export_cancel: a cancel stops every connection; a pause holds
 *   the folder being exported on each connection, and the further
 *   connections start no other folder until resumed. kq_export_status,
 *   kq_export_progress, kq_export_stats_json and kq_export_current report
 *   the job of kq_connect's connection only (the folder it works on); the
 *   batch's own status covers every folder. */
KQ_API int kq_export_all_folders(const char *config_json);

/* JSON status of the batch, folder by folder:
 *   {"state","folder_idx","done_folders","current","folders":{...}} and,
 *   only when they apply, "errors", "unreadable_folders", "connections",
 *   "error", "unreadable".
 *   "state"        0 no batch, 1 running, 2 finished, 4 failed
 *   "folder_idx"   index (from 0) of the folder being worked on (on several
 *                  connections: kq_connect's, whose job the export calls
 *                  report), or where the run stopped
 *   "done_folders" folders exported without error (empty and unreadable ones
 *                  not counted)
 *   "current"      "folder <n>/<m>: <folder>" (the folder of "folder_idx")
 *                  while running and after a run that stopped at a folder; "" after a run that got through
 *                  the list
 *   "folders"      subdirectory name -> "pending", "running", "done",
 *                  "error" or "unreadable", in batch order
 *   "errors"       subdirectory name -> why that folder failed; the batch
 *                  goes on with the next folder while the connection works
 *   "unreadable_folders", "unreadable"  how many folders the server listed
 *                  but would not open, and name -> the server's text
 *   "connections"  only when more than one was asked for: the connections
 *                  the run logged in and used so far, kq_connect's included
 *   "error"        with "state" 4: why the run failed (the texts listed under
 *                  kq_export_all_folders)
 * Never fails. Server: no. Threads: never waits.
 * Limits: at most 16,383 bytes; entries that do not fit are left out (the
 *   first ones are kept) and the text stays valid JSON.
 * Lifetime: until this thread's next kq_export_all_status_json. */
KQ_API const char *kq_export_all_status_json(void);

#ifdef __cplusplus
}
#endif

#endif /* KERQUILL_H */
