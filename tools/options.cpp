// The options of the tool's commands, in groups a command takes whole.
#include "commands.h"

namespace kqcli {

namespace {

const option_def k_options[] = {
    {"host", "NAME", g_conn, false, "IMAP server (or KQ_HOST)"},
    {"port", "N", g_conn, false, "port (or KQ_PORT; default 993, 143 with --plain or --starttls)"},
    {"plain", nullptr, g_conn, false, "plain IMAP without TLS (only for trusted networks)"},
    {"starttls", nullptr, g_conn, false, "plain connection upgraded with STARTTLS (required), port 143"},
    {"user", "NAME", g_conn, false, "login name (or KQ_USER)"},
    {"password-file", "FILE", g_conn, false,
     "read the password from the first line of FILE; else KQ_PASSWORD, else a prompt"},
    {"password-command", "CMD", g_conn, false,
     "run CMD (with sh -c) for each connection; its first output line is the password"},
    {"oauth-token-file", "FILE", g_conn, false, "log in with the OAuth2 token in FILE (XOAUTH2)"},
    {"oauth-token-command", "CMD", g_conn, false,
     "run CMD for each connection; its first output line is the OAuth2 token"},
    {"ca-file", "FILE", g_conn, false, "trust the CA certificate(s) in FILE (or KQ_CA_FILE)"},
    {"insecure", nullptr, g_conn, false, "do not check the server certificate (warns)"},
    {"timeout", "SECONDS", g_conn, false, "network time-out (default 30)"},
    {"json", nullptr, g_json, false, "print JSON for programs instead of a table"},
    {"since", "YYYY-MM-DD", g_search, false, "messages received on or after this day (UTC)"},
    {"before", "YYYY-MM-DD", g_search, false, "messages received before this day (UTC)"},
    {"from", "TEXT", g_search, false, "From contains TEXT (any case)"},
    {"to", "TEXT", g_search, false, "To contains TEXT (any case)"},
    {"subject", "TEXT", g_search, false, "Subject contains TEXT (any case)"},
    {"min-bytes", "N", g_search, false, "messages of at least N bytes"},
    {"has-attachments", "0|1", g_search, false, "messages with (1) or without (0) attachments, as their structure tells"},
    {"uid-min", "N", g_search, false, "first UID to look at"},
    {"uid-max", "N", g_search, false, "last UID to look at"},
    {"uid", "N", g_show, false, "address the message by UID instead of ROW"},
    {"save-eml", "FILE", g_show, false, "also write the raw message to FILE"},
    {"full-header", nullptr, g_show, false, "print the whole header block"},
    {"mbox", nullptr, g_export, false, "also write all.mbox"},
    {"format", "eml|maildir", g_export, false,
     "eml: one .eml file per message (the default); maildir: each folder's\n"
     "                                 archive is a Maildir (cur/, new/, tmp/), flags in the file names"},
    {"folder", "NAME", g_batch, true, "export only this folder (repeatable; default: all)"},
    {"include", "PATTERN", g_batch, true,
     "export only folders matching PATTERN (repeatable; * any text, % any text but the\n"
     "                                 server's hierarchy delimiter); patterns match the UTF-8 names"},
    {"exclude", "PATTERN", g_batch, true, "leave out folders matching PATTERN (repeatable)"},
    {"since", "YYYY-MM-DD", g_batch, false,
     "only messages received on or after this day (UTC)"},
    {"connections", "N", g_batch, false,
     "export N folders at a time, each on a connection of its own (1 to 8, default 1);\n"
     "                                 a server that allows fewer logins gets a run on fewer"},
    {"dry-run", nullptr, g_batch, false,
     "per folder: messages on the server, already archived, to fetch; nothing is written"},
    {"to", "FOLDER", g_restore, false, "restore: the folder to restore into (created when missing)"},
    {"prefix", "P", g_restore, false, "restore-all: put P before every folder name (e.g. Restored/)"},
    {"no-create", nullptr, g_restore, false, "fail when the target folder is missing instead of creating it"},
    {"no-flags", nullptr, g_restore, false, "restore the messages without their flags"},
    {"to-host", "NAME", g_target, false, "the server to copy to (or KQ_TO_HOST)"},
    {"to-port", "N", g_target, false, "its port (or KQ_TO_PORT; default 993, 143 with --to-plain or --to-starttls)"},
    {"to-plain", nullptr, g_target, false, "plain IMAP to it without TLS (only for trusted networks)"},
    {"to-starttls", nullptr, g_target, false, "a plain connection to it upgraded with STARTTLS (required)"},
    {"to-user", "NAME", g_target, false, "login name there (or KQ_TO_USER)"},
    {"to-password-file", "FILE", g_target, false,
     "its password from the first line of FILE; else KQ_TO_PASSWORD, else a prompt"},
    {"to-password-command", "CMD", g_target, false, "run CMD (with sh -c); its first output line is the password"},
    {"to-oauth-token-file", "FILE", g_target, false, "log in there with the OAuth2 token in FILE (XOAUTH2)"},
    {"to-oauth-token-command", "CMD", g_target, false, "run CMD; its first output line is the OAuth2 token"},
    {"to-ca-file", "FILE", g_target, false, "trust the CA certificate(s) in FILE for it (or KQ_TO_CA_FILE)"},
    {"to-insecure", nullptr, g_target, false, "do not check its certificate (warns)"},
    {"to-account", "NAME", g_target, false,
     "take the target's settings from [accounts.NAME] of the configuration file"},
    {"prefix", "P", g_target, false, "put P before every folder name on the target (e.g. Moved/)"},
    {"no-create", nullptr, g_target, false, "fail when a folder is missing on the target instead of creating it"},
    {"no-flags", nullptr, g_target, false, "copy the messages without their flags"},
    {"dated", nullptr, g_jobopts, false, "store messages in YYYY-MM subdirectories (export-all's default)"},
    {"flat", nullptr, g_jobopts, false, "no YYYY-MM subdirectories (export's default)"},
    {"no-resume", nullptr, g_jobopts, false, "start over instead of skipping stored messages"},
    {"no-manifest", nullptr, g_jobopts, false, "do not write manifest.jsonl (verify needs it)"},
    {"quiet", nullptr, g_progress, false, "print nothing on success (errors still go to stderr)"},
    {"log-format", "text|json", g_progress, false,
     "json: one JSON object per line on stdout for each event (folder started, done,\n"
     "                                 failed, totals, errors) instead of the tables"},
    {"progress-interval", "SECONDS", g_progress, false,
     "seconds between progress lines when not on a terminal (default 5)"},
};

}  // namespace

std::span<const option_def> tool_options() { return k_options; }

}  // namespace kqcli
