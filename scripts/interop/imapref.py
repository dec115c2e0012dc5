"""The reference side of the interop checks: what a server itself says,
through Python's imaplib, with the little IMAP syntax imaplib leaves to its
caller (quoting, modified UTF-7 names, LIST lines)."""
import base64
import imaplib
import re


def quote(name):
    """A mailbox name as an IMAP quoted string (imaplib sends arguments as given)."""
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def mutf7_encode(text):
    """UTF-8 text to IMAP modified UTF-7 (RFC 3501 5.1.3)."""
    out, pending = [], []

    def flush():
        if pending:
            raw = "".join(pending).encode("utf-16-be")
            out.append("&" + base64.b64encode(raw).decode().rstrip("=").replace("/", ",") + "-")
            pending.clear()

    for ch in text:
        if 0x20 <= ord(ch) <= 0x7E:
            flush()
            out.append("&-" if ch == "&" else ch)
        else:
            pending.append(ch)
    flush()
    return "".join(out)


def mutf7_decode(name):
    """Modified UTF-7 to text; a name that is not valid modified UTF-7 comes back as it is."""
    out, i = [], 0
    try:
        while i < len(name):
            if name[i] != "&":
                out.append(name[i])
                i += 1
                continue
            end = name.index("-", i)
            chunk = name[i + 1:end]
            if not chunk:
                out.append("&")
            else:
                b64 = chunk.replace(",", "/")
                out.append(base64.b64decode(b64 + "=" * (-len(b64) % 4)).decode("utf-16-be"))
            i = end + 1
    except (ValueError, UnicodeDecodeError):
        return name
    return "".join(out)


_ATOM_OR_QUOTED = re.compile(rb'\s*(NIL|"(?:[^"\\]|\\.)*"|[^\s()"]+)')


def _unquote(token):
    if token == b"NIL":
        return None
    if token.startswith(b'"'):
        return re.sub(rb"\\(.)", rb"\1", token[1:-1]).decode("utf-8", "surrogateescape")
    return token.decode("utf-8", "surrogateescape")


def parse_list(data):
    """imaplib's LIST data to [(flags, delimiter, name)], in the server's order."""
    out = []
    for item in data:
        if item is None:
            continue
        literal = None
        if isinstance(item, tuple):  # the name came as a literal
            item, literal = item
        m = re.match(rb"\(([^)]*)\)", item)
        if not m:
            continue
        flags = set(m.group(1).decode().split())
        rest = item[m.end():]
        d = _ATOM_OR_QUOTED.match(rest)
        delim = _unquote(d.group(1))
        rest = rest[d.end():]
        if literal is not None:
            name = literal.decode("utf-8", "surrogateescape")
        else:
            n = _ATOM_OR_QUOTED.match(rest)
            name = _unquote(n.group(1))
        out.append((flags, delim, name))
    return out


class Ref:
    """One logged-in imaplib connection with the calls the checks use."""

    def __init__(self, port, login, password):
        self.m = imaplib.IMAP4("127.0.0.1", port, timeout=120)
        self.m.login(login, password)
        # Many servers name ACL, MULTIAPPEND and the like only after login;
        # imaplib keeps what it read before.
        typ, data = self.m.capability()
        if typ == "OK" and data and data[0]:
            self.m.capabilities = tuple(data[0].decode().upper().split())

    def close(self):
        try:
            self.m.logout()
        except Exception:
            pass

    def namespace(self):
        """(prefix, delimiter) of the first personal namespace."""
        typ, data = self.m.namespace()
        if typ == "OK" and data and data[0]:
            m = re.match(rb'\(\("((?:[^"\\]|\\.)*)" (NIL|"(?:[^"\\]|\\.)*")', data[0])
            if m:
                delim = _unquote(m.group(2))
                return m.group(1).decode(), delim
        _, data = self.m.list('""', '""')
        entries = parse_list(data)
        return "", (entries[0][1] if entries and entries[0][1] else "/")

    def list_all(self):
        typ, data = self.m.list('""', "*")
        if typ != "OK":
            raise RuntimeError(f"LIST failed: {data}")
        return parse_list(data)

    def select(self, name, readonly=True):
        """Number of messages, or None when the server refuses the folder."""
        try:
            typ, data = self.m.select(quote(name), readonly=readonly)
        except imaplib.IMAP4.error:
            return None
        if typ != "OK":
            return None
        return int(data[0])

    def uidvalidity(self, name):
        typ, data = self.m.status(quote(name), "(UIDVALIDITY)")
        m = re.search(rb"UIDVALIDITY (\d+)", data[0] or b"") if typ == "OK" else None
        return int(m.group(1)) if m else None

    def uids(self):
        typ, data = self.m.uid("SEARCH", "ALL")
        if typ != "OK":
            raise RuntimeError(f"UID SEARCH ALL failed: {data}")
        return sorted(int(x) for x in b" ".join(d for d in data if d).split())

    def fetch_body(self, uid):
        typ, data = self.m.uid("FETCH", str(uid), "(BODY.PEEK[])")
        if typ != "OK":
            raise RuntimeError(f"UID FETCH {uid} failed: {data}")
        for item in data:
            if isinstance(item, tuple) and b"BODY[]" in item[0]:
                return item[1]
        return None

    def append_many(self, name, messages):
        """Appends [(message, date)] in one MULTIAPPEND command (RFC 3502)
        where the server offers it with non-synchronising literals, else one
        APPEND each. Servers that sync their files per command (Cyrus) take
        a tenth of the time this way."""
        caps = self.m.capabilities
        if "MULTIAPPEND" not in caps or "LITERAL+" not in caps or len(messages) < 2:
            for msg, date in messages:
                self.append(name, msg, date)
            return
        tag = self.m._new_tag()
        parts = [tag + b" APPEND " + quote(name).encode()]
        for msg, date in messages:
            parts.append(b" " + (date.encode() + b" " if date else b"") + b"{%d+}\r\n" % len(msg) + msg)
        self.m.send(b"".join(parts) + b"\r\n")
        typ, data = self.m._command_complete("APPEND", tag)
        if typ != "OK":
            raise RuntimeError(f"MULTIAPPEND to {name} failed: {data}")

    def append(self, name, message, date=None, flags=None):
        typ, data = self.m.append(quote(name), flags, date, message)
        if typ != "OK":
            raise RuntimeError(f"APPEND to {name} failed: {data}")
        return data
