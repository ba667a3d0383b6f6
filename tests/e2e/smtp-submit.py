#!/usr/bin/env python3
"""A sendmail for the end-to-end test: hands the mail on standard input to an SMTP server.

smtp-submit.py HOST PORT [sendmail options] [--] [RECIPIENT...]

Takes the command line a mail client gives its sendmail (-f SENDER, -t, -oi and the like, then
the recipients), so that it can stand where /usr/sbin/sendmail stands in a client's
configuration. Without recipients (or with -t) they are read from To, Cc and Bcc, and Bcc is
dropped from the mail, as sendmail -t does. Exit status 75 (EX_TEMPFAIL) when the server cannot
be reached or refuses the mail, so that the client keeps its draft.
"""
import email.parser
import email.policy
import email.utils
import smtplib
import sys


def main(argv):
    if len(argv) < 3:
        print("usage: smtp-submit.py HOST PORT [sendmail options] [--] [RECIPIENT...]",
              file=sys.stderr)
        return 64
    host, port, args = argv[1], int(argv[2]), argv[3:]
    sender, from_headers, recipients = None, False, []
    i = 0
    while i < len(args):
        arg = args[i]
        if arg == "--":
            recipients.extend(args[i + 1:])
            break
        if arg == "-f" and i + 1 < len(args):
            sender = args[i + 1]
            i += 1
        elif arg.startswith("-f") and len(arg) > 2:
            sender = arg[2:]
        elif arg == "-t":
            from_headers = True
        elif not arg.startswith("-"):
            recipients.append(arg)
        i += 1

    raw = sys.stdin.buffer.read().replace(b"\r\n", b"\n")
    message = email.parser.BytesParser(policy=email.policy.SMTPUTF8).parsebytes(raw)
    if from_headers or not recipients:
        for field in ("To", "Cc", "Bcc"):
            recipients.extend(address for _, address in
                              email.utils.getaddresses(message.get_all(field, [])))
    if "Bcc" in message:
        # Only the header is cut out: the rest of the mail goes on byte for byte.
        head, separator, body = raw.partition(b"\n\n")
        kept, in_bcc = [], False
        for line in head.split(b"\n"):
            if not line[:1].isspace():
                in_bcc = line.lower().startswith(b"bcc:")
            if not in_bcc:
                kept.append(line)
        raw = b"\n".join(kept) + separator + body
    if sender is None:
        found = email.utils.getaddresses(message.get_all("From", []))
        sender = found[0][1] if found else ""
    if not recipients:
        print("smtp-submit: no recipients", file=sys.stderr)
        return 64
    try:
        with smtplib.SMTP(host, port, timeout=10) as server:
            server.sendmail(sender, recipients, raw.replace(b"\n", b"\r\n"))
    except (OSError, smtplib.SMTPException) as error:
        print(f"smtp-submit: {host}:{port}: {error}", file=sys.stderr)
        return 75
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
