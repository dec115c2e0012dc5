/* hello: the smallest useful kerquill host. Logs in, lists the folders and
 * shows the newest few messages of INBOX.
 *
 * Settings come from the environment, so no secret is on the command line:
 *   KQ_HOST, KQ_PORT (default 993), KQ_USER, KQ_PASSWORD,
 *   KQ_PLAIN=1 for IMAP without TLS, KQ_CA_FILE to trust a private CA.
 * Exit status 0 on success, 1 on failure (reason on stderr). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kerquill.h>

/* Appends s to out as a JSON string; out has room for cap bytes. */
static void put_json_string(char *out, size_t cap, const char *s) {
  size_t n = strlen(out);
  if (n + 1 < cap) out[n++] = '"';
  for (; *s && n + 7 < cap; ++s) {
    unsigned char c = (unsigned char)*s;
    if (c == '"' || c == '\\') {
      out[n++] = '\\';
      out[n++] = (char)c;
    } else if (c < 0x20) {
      n += (size_t)snprintf(out + n, cap - n, "\\u%04x", c);
    } else {
      out[n++] = (char)c;
    }
  }
  if (n + 1 < cap) out[n++] = '"';
  out[n] = '\0';
}

static const char *env_or(const char *name, const char *fallback) {
  const char *v = getenv(name);
  return v && *v ? v : fallback;
}

int main(void) {
  const char *host = env_or("KQ_HOST", NULL), *user = env_or("KQ_USER", NULL);
  const char *pass = env_or("KQ_PASSWORD", NULL), *ca = env_or("KQ_CA_FILE", NULL);
  int plain = atoi(env_or("KQ_PLAIN", "0")) != 0;
  int port = atoi(env_or("KQ_PORT", plain ? "143" : "993"));
  char config[2048] = "{\"host\":";
  char tail[64];
  int rows, i;
  const char *folders;

  if (!host || !user || !pass) {
    fprintf(stderr, "hello: set KQ_HOST, KQ_USER and KQ_PASSWORD\n");
    return 1;
  }
  put_json_string(config, sizeof config, host);
  strcat(config, ",\"user\":");
  put_json_string(config, sizeof config, user);
  strcat(config, ",\"pass\":");
  put_json_string(config, sizeof config, pass);
  if (ca) {
    strcat(config, ",\"ca_file\":");
    put_json_string(config, sizeof config, ca);
  }
  snprintf(tail, sizeof tail, ",\"port\":%d,\"ssl\":%d}", port, plain ? 0 : 1);
  strcat(config, tail);

  if (kq_connect(config) != 0) {
    fprintf(stderr, "hello: cannot log in: %s\n", kq_last_error());
    return 1;
  }
  printf("logged in to %s as %s (status %d)\n", host, user, kq_status());

  folders = kq_folders_json();
  if (!*folders) {
    fprintf(stderr, "hello: cannot list folders: %s\n", kq_last_error());
    kq_disconnect();
    return 1;
  }
  printf("folders: %s\n", folders);

  /* Everything in INBOX; the table keeps ascending UIDs, so the newest
   * messages are at the end. */
  if (kq_search("INBOX", NULL) != 0) {
    fprintf(stderr, "hello: search failed: %s\n", kq_last_error());
    kq_disconnect();
    return 1;
  }
  rows = kq_search_count();
  printf("INBOX holds %d messages; the newest:\n", rows);
  for (i = rows > 3 ? rows - 3 : 0; i < rows; ++i) {
    /* kq_search_field reuses one buffer: print each field before the next call. */
    printf("  uid %s", kq_search_field(i, "uid"));
    printf("  %s", kq_search_field(i, "date"));
    printf("  %s\n", kq_search_field(i, "subject"));
  }
  kq_disconnect();
  return 0;
}
