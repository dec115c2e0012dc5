#!/usr/bin/env python3
"""End-to-end tests of the tool's OAuth sign-in: 'kerquill auth' and the
refresh grant before each connection, against a mock authorization server
over TLS on 127.0.0.1 (certificate made here) and the throwaway Dovecot of
run_cli_tests.py, which takes a user's password as the bearer token.

    run_oauth_tests.py --source-dir SRC --build-dir BUILD [-k PATTERN]

Needs root and dovecot like run_cli_tests.py. Prints one line per test and
closes with "cli_oauth: N passed, N failed"; exits 1 when anything failed.
"""
import collections
import http.server
import json
import os
import shutil
import ssl
import stat
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cli_runner  # noqa: E402  (the registry and the runner both suites use)
import run_cli_tests as cli  # noqa: E402  (the Dovecot sandbox and how to run the tool)
from run_cli_tests import PASSWORD, USER, check, expect, toml_str  # noqa: E402

ACCOUNT = "work"
CLIENT_ID = "kq-client"
CLIENT_SECRET = "client-s3cret-value"
DEVICE_CODE = "device-code-value"
USER_CODE = "WDJB-MJHT"
VERIFY_URI = "https://issuer.test/activate"

SUITE = cli_runner.Suite("cli_oauth")
test = SUITE.test


class Issuer:
    """A token and device endpoint that answers from queues and records every
    request with the time it came in."""

    def __init__(self, work):
        self.dir = os.path.join(work, "issuer")
        os.makedirs(self.dir, exist_ok=True)
        self.ca = os.path.join(self.dir, "ca.pem")
        key = os.path.join(self.dir, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-keyout", key, "-out", self.ca, "-subj", "/CN=localhost",
                        "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                        "-addext", "basicConstraints=critical,CA:TRUE"],
                       check=True, capture_output=True)
        self.lock = threading.Lock()
        self.reset()
        issuer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                n = int(self.headers.get("Content-Length", "0"))
                form = {k: v[0] for k, v in urllib.parse.parse_qs(self.rfile.read(n).decode()).items()}
                with issuer.lock:
                    issuer.requests.append((self.path, form, time.monotonic()))
                    queue = issuer.device if self.path == "/device" else issuer.token
                    status, body = queue.popleft() if queue else (500, {"error": "server_error"})
                data = json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *a):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(self.ca, key)
        self.server.socket = ctx.wrap_socket(self.server.socket, server_side=True)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def reset(self):
        with self.lock:
            self.device, self.token, self.requests = collections.deque(), collections.deque(), []

    def url(self, path):
        return "https://127.0.0.1:%d%s" % (self.server.server_address[1], path)

    def device_answer(self, interval=0, expires_in=600):
        self.device.append((200, {"device_code": DEVICE_CODE, "user_code": USER_CODE,
                                  "verification_uri": VERIFY_URI, "expires_in": expires_in,
                                  "interval": interval}))

    def token_error(self, code):
        self.token.append((400, {"error": code}))

    def token_grant(self, access, refresh=None):
        body = {"access_token": access, "token_type": "Bearer", "expires_in": 3599}
        if refresh:
            body["refresh_token"] = refresh
        self.token.append((200, body))

    def token_requests(self):
        with self.lock:
            return [(form, t) for path, form, t in self.requests if path == "/token"]

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class Ctx:
    def __init__(self, env, issuer):
        self.env, self.issuer = env, issuer
        self.state = os.path.join(env.work, "state")
        self.config = cli.write_file(env, "oauth/config.toml", """[accounts.%s]
host = "127.0.0.1"
port = %d
user = %s
ca_file = %s
oauth_client_id = %s
oauth_client_secret = %s
oauth_device_url = %s
oauth_token_url = %s
oauth_scope = "imap offline_access"
oauth_ca_file = %s
""" % (ACCOUNT, env.tls_port, toml_str(USER), toml_str(env.ca), toml_str(CLIENT_ID), toml_str(CLIENT_SECRET),
       toml_str(issuer.url("/device")), toml_str(issuer.url("/token")), toml_str(issuer.ca)))

    @property
    def token_file(self):
        return os.path.join(self.state, "kerquill", "oauth", ACCOUNT + ".json")

    def run(self, *argv):
        # No password at all: only the OAuth token can log in.
        return self.env.run("--config", self.config, *argv,
                            env=self.env.env(KQ_PASSWORD="", XDG_STATE_HOME=self.state))

    def store(self, refresh):
        os.makedirs(os.path.dirname(self.token_file), exist_ok=True)
        with open(self.token_file, "w") as f:
            json.dump({"refresh_token": refresh, "token_url": self.issuer.url("/token"), "client_id": CLIENT_ID}, f)
        os.chmod(self.token_file, 0o600)

    def stored(self):
        with open(self.token_file) as f:
            return json.load(f)["refresh_token"]

    def fresh(self):
        self.issuer.reset()
        shutil.rmtree(self.state, ignore_errors=True)


def no_secret_in(text, *secrets):
    for s in secrets:
        check(s not in text, "a secret was printed: %r in\n%s" % (s, text))


@test
def device_grant_polls_as_asked_and_stores_the_token(ctx):
    ctx.fresh()
    ctx.issuer.device_answer(interval=0)
    ctx.issuer.token_error("authorization_pending")
    ctx.issuer.token_error("slow_down")
    ctx.issuer.token_grant("access-value-1", "refresh-value-1")
    out, err = expect(ctx.run("-v", "auth", ACCOUNT), 0, "auth")
    check(VERIFY_URI in out and USER_CODE in out, "the address and the code are shown: " + out)
    no_secret_in(out + err, CLIENT_SECRET, DEVICE_CODE, "access-value-1", "refresh-value-1")
    polls = ctx.issuer.token_requests()
    check(len(polls) == 3, "three polls: %r" % polls)
    for form, _ in polls:
        check(form == {"grant_type": "urn:ietf:params:oauth:grant-type:device_code", "device_code": DEVICE_CODE,
                       "client_id": CLIENT_ID, "client_secret": CLIENT_SECRET}, form)
    # slow_down adds 5 seconds to the interval (0 here) before the next poll.
    check(polls[2][1] - polls[1][1] >= 4.9, "slow_down honoured: %.2f s" % (polls[2][1] - polls[1][1]))
    check(stat.S_IMODE(os.stat(ctx.token_file).st_mode) == 0o600, oct(os.stat(ctx.token_file).st_mode))
    check(ctx.stored() == "refresh-value-1", "the refresh token is stored")


@test
def expired_code_ends_the_sign_in(ctx):
    ctx.fresh()
    ctx.issuer.device_answer(interval=0)
    ctx.issuer.token_error("authorization_pending")
    ctx.issuer.token_error("expired_token")
    _, err = expect(ctx.run("auth", ACCOUNT), 1, "auth with a code that expires")
    check("expired" in err and "kerquill auth " + ACCOUNT in err, err)
    check(not os.path.exists(ctx.token_file), "nothing is stored")


@test
def refresh_before_connecting_logs_in_and_keeps_a_rotated_token(ctx):
    ctx.fresh()
    ctx.store("refresh-value-1")
    # The sandbox takes the password as bearer token: the login succeeds only
    # with the access token the issuer handed out.
    ctx.issuer.token_grant(PASSWORD, "refresh-value-2")
    out, err = expect(ctx.run("-vv", "folders"), 0, "folders with the account's sign-in")
    check("INBOX" in out, out)
    no_secret_in(out + err, CLIENT_SECRET, PASSWORD, "refresh-value-1", "refresh-value-2")
    (form, _), = ctx.issuer.token_requests()
    check(form == {"grant_type": "refresh_token", "refresh_token": "refresh-value-1", "client_id": CLIENT_ID,
                   "client_secret": CLIENT_SECRET, "scope": "imap offline_access"}, form)
    check(ctx.stored() == "refresh-value-2", "the rotated refresh token replaced the old one")
    check(stat.S_IMODE(os.stat(ctx.token_file).st_mode) == 0o600, "still 0600 after the rotation")

    ctx.issuer.token_grant("not-the-password")
    _, err = expect(ctx.run("folders"), 1, "a token the server refuses")
    check("log in" in err, err)
    form, _ = ctx.issuer.token_requests()[-1]
    check(form["refresh_token"] == "refresh-value-2", "the next run uses the rotated token")
    check(ctx.stored() == "refresh-value-2", "an answer without a refresh token keeps the stored one")


@test
def revoked_or_missing_grant_asks_for_a_new_sign_in(ctx):
    ctx.fresh()
    _, err = expect(ctx.run("folders"), 77, "no sign-in yet")
    check("kerquill auth " + ACCOUNT in err, err)
    ctx.store("refresh-value-1")
    ctx.issuer.token.append((400, {"error": "invalid_grant", "error_description": "Token has been revoked."}))
    _, err = expect(ctx.run("folders"), 77, "a revoked grant")
    check("expired or was revoked" in err and "kerquill auth " + ACCOUNT + "' again" in err, err)
    no_secret_in(err, "refresh-value-1", CLIENT_SECRET)


@test
def issuer_certificate_is_checked(ctx):
    ctx.fresh()
    ctx.store("refresh-value-1")
    ctx.issuer.token_grant(PASSWORD)
    untrusting = ctx.config + ".no-ca.toml"
    with open(ctx.config) as f, open(untrusting, "w") as g:
        g.write("".join(line for line in f if not line.startswith("oauth_ca_file")))
    _, err = expect(ctx.env.run("--config", untrusting, "folders",
                                env=ctx.env.env(KQ_PASSWORD="", XDG_STATE_HOME=ctx.state)), 1, "an untrusted issuer")
    check("certificate" in err.lower(), err)
    check(not ctx.issuer.token_requests(), "no request reached an issuer the tool does not trust")


@test
def help_describes_the_device_flow(ctx):
    out, _ = expect(ctx.env.run("auth", "--help"), 0, "auth --help")
    check("device authorization" in out and "user code" in out and "refresh token" in out, out)
    out, _ = expect(ctx.env.run("--help"), 0, "--help")
    check("auth" in out and "77 the account's OAuth sign-in" in out, out)


def main():
    def prepare(env, work, cleanups):
        issuer = Issuer(work)
        cleanups.append(issuer.stop)
        return Ctx(env, issuer)
    return SUITE.main(cli.Env, prepare)


if __name__ == "__main__":
    sys.exit(main())
