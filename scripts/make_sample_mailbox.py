#!/usr/bin/env python3
"""Writes a made-up mailbox as Maildir++ folders for the demo and the tests.

    make_sample_mailbox.py MAILDIR [--messages N] [--seed S]

MAILDIR is the user's Maildir root (INBOX); other folders become ".Name"
directories beside cur/new/tmp, with "." standing for the hierarchy separator
(".Projects.2024" is the child folder Projects/2024). Each message file gets
its Date as modification time, which Dovecot reports as the internal date.

The mail is a mix of plain text, quoted-printable UTF-8, HTML only, text plus
HTML alternatives and messages with attachments (PDF-like, PNG, CSV), with
some non-ASCII names and subjects both as encoded words and as raw UTF-8.
Everything is derived from the seed, so two runs give the same mailbox.
Prints one line per folder with its message count.
"""
import argparse
import datetime
import email.policy
import email.utils
import os
import random
import sys
from email.message import EmailMessage

# (name on the server, share of the messages)
FOLDERS = [
    ("INBOX", 0.40),
    ("Sent", 0.20),
    ("Archive", 0.15),
    ("Projects", 0.10),
    ("Projects/2024", 0.10),
    ("Old Stuff", 0.05),
]

PEOPLE = [
    ("Alice Example", "alice@example.org"),
    ("Bob Builder", "bob@example.net"),
    ("Chloé Dubois", "chloe@example.fr"),
    ("Jürgen Müller", "juergen@example.de"),
    ("Sofía Núñez", "sofia@example.es"),
    ("Tanaka Hiroshi", "tanaka@example.jp"),
    ("Newsletter", "news@example.com"),
    ("Operations", "ops@example.com"),
]
ME = ("Demo User", "demo@example.com")

TOPICS = [
    "Quarterly report", "Lunch on Friday?", "Build is broken again", "Invoice {n}",
    "Photos from the trip", "Meeting notes {n}", "Re: contract draft", "Server migration plan",
    "Über die Preise für {n}", "Café menu ideas", "Año nuevo, planes nuevos", "Weekly digest #{n}",
    "Question about attachment limits", "Fwd: flight booking", "Release {n} checklist",
]

WORDS = ("the of and to in is that for it as with was on be at by this had not are but from or "
         "have an they which one you were all we her she there would their will when who him been "
         "has more if no out so said what up its about than into them can only other new some could "
         "time these two may then do first any my now such like our over man me even most made after "
         "also did many before must through back years where much your way well down should because "
         "each just those people how too little state good very make world still own see men work "
         "long get here between both life being under never day same another know while last might "
         "us great old year off come since against go came right used take three").split()

UMLAUT_LINES = [
    "Grüße aus Köln – wir sehen uns nächste Woche.",
    "Ça va ? Le café était très bon.",
    "¿Dónde está la biblioteca? Mañana a las diez.",
    "東京の会議は来週です。",
]


def paragraph(rng, words):
    text = " ".join(rng.choice(WORDS) for _ in range(words))
    return text[:1].upper() + text[1:] + "."


def body_text(rng):
    paras = [paragraph(rng, rng.randint(20, 80)) for _ in range(rng.randint(1, 5))]
    if rng.random() < 0.3:
        paras.append(rng.choice(UMLAUT_LINES))
    if rng.random() < 0.1:
        # mbox readers must escape this line.
        paras.append("From here on, the plan changes.")
    return "\n\n".join(paras) + "\n"


def html_of(text):
    out = ["<html><body>"]
    for para in text.strip().split("\n\n"):
        out.append("<p>%s</p>" % para.replace("&", "&amp;").replace("<", "&lt;"))
    out.append("<p>Kind regards &amp; thanks,<br><b>the sender</b></p></body></html>")
    return "\n".join(out) + "\n"


def fake_pdf(rng, size):
    head = b"%PDF-1.4\n% kerquill sample\n"
    return head + bytes(rng.getrandbits(8) for _ in range(size - len(head)))


def fake_png(rng, size):
    head = b"\x89PNG\r\n\x1a\n"
    return head + bytes(rng.getrandbits(8) for _ in range(size - len(head)))


def fake_csv(rng, rows):
    lines = ["date,amount,description"]
    for i in range(rows):
        lines.append("2024-%02d-%02d,%d.%02d,item %d" % (rng.randint(1, 12), rng.randint(1, 28),
                                                        rng.randint(1, 999), rng.randint(0, 99), i))
    return ("\n".join(lines) + "\n").encode()


def address(person):
    return "%s <%s>" % person


def make_message(rng, n, folder, when):
    sent = folder == "Sent"
    other = rng.choice(PEOPLE)
    sender, rcpt = (ME, other) if sent else (other, ME)
    subject = rng.choice(TOPICS).format(n=n)
    encode = rng.random() < 0.7
    kind = rng.choices(["plain", "qp", "html", "alternative", "attachments"],
                       weights=[30, 15, 10, 20, 25])[0]

    # Most senders write non-ASCII headers as encoded words; some (wrongly but
    # commonly) send raw UTF-8.
    policy = email.policy.default if encode else email.policy.default.clone(utf8=True)
    msg = EmailMessage(policy=policy)
    msg["From"] = address(sender)
    msg["To"] = address(rcpt)
    msg["Subject"] = subject
    msg["Date"] = email.utils.format_datetime(when)
    msg["Message-ID"] = "<sample-%d@kerquill.example>" % n
    msg["MIME-Version"] = "1.0"

    text = body_text(rng)
    if kind == "plain":
        if text.isascii():
            msg.set_content(text)
        else:
            msg.set_content(text, charset="utf-8", cte="8bit")
    elif kind == "qp":
        msg.set_content(text + "Grüße, " + sender[0] + "\n", charset="utf-8",
                        cte="quoted-printable")
    elif kind == "html":
        msg.set_content(html_of(text), subtype="html", charset="utf-8", cte="quoted-printable")
    elif kind == "alternative":
        msg.set_content(text, charset="utf-8", cte="quoted-printable")
        msg.add_alternative(html_of(text), subtype="html", charset="utf-8",
                            cte="quoted-printable")
    else:
        msg.set_content(text, charset="utf-8", cte="quoted-printable")
        for k in range(1, rng.randint(1, 3) + 1):
            pick = rng.random()
            if pick < 0.4:
                data = fake_pdf(rng, rng.randint(2_000, 60_000))
                msg.add_attachment(data, maintype="application", subtype="pdf",
                                   filename="report-%d-%d.pdf" % (n, k))
            elif pick < 0.7:
                data = fake_png(rng, rng.randint(1_000, 30_000))
                msg.add_attachment(data, maintype="image", subtype="png",
                                   filename="photo-%d-%d.png" % (n, k))
            else:
                data = fake_csv(rng, rng.randint(5, 200))
                msg.add_attachment(data, maintype="text", subtype="csv",
                                   filename="Übersicht-%d-%d.csv" % (n, k))
    return msg


def folder_dir(root, name):
    if name == "INBOX":
        return root
    return os.path.join(root, "." + name.replace("/", "."))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("maildir")
    ap.add_argument("--messages", type=int, default=300)
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()

    rng = random.Random(args.seed)
    start = 1546300800  # 2019-01-01
    span = 6 * 365 * 86400
    n = 0
    for name, share in FOLDERS:
        count = max(1, round(args.messages * share))
        base = folder_dir(args.maildir, name)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(base, sub), exist_ok=True)
        stamps = sorted(start + rng.randrange(span) for _ in range(count))
        for ts in stamps:
            n += 1
            zone = datetime.timezone(datetime.timedelta(hours=rng.choice([-7, 0, 1, 2, 9])))
            when = datetime.datetime.fromtimestamp(ts, zone)
            data = make_message(rng, n, name, when).as_bytes()
            fname = "%d.M%dP1.kqsample:2,S" % (ts, n)
            path = os.path.join(base, "cur", fname)
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (ts, ts))
        print("%-16s %4d messages" % (name, count))
    return 0


if __name__ == "__main__":
    sys.exit(main())
