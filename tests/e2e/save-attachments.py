#!/usr/bin/env python3
"""Saves the attachments of the mail on standard input into a folder: `open -C DIR` for a mail
in clear, which stands in for veldoran-tool's in the end-to-end test until the tool has it.

save-attachments.py [-k KEYS] -C DIR
"""
import email.parser
import email.policy
import os
import sys


def main(argv):
    args = argv[1:]
    if "-C" not in args or args.index("-C") + 1 >= len(args):
        print("usage: save-attachments.py -C DIR", file=sys.stderr)
        return 64
    folder = args[args.index("-C") + 1]
    os.makedirs(folder, exist_ok=True)
    message = email.parser.BytesParser(policy=email.policy.default).parse(sys.stdin.buffer)
    for part in message.iter_attachments():
        name = os.path.basename(part.get_filename() or "attachment")
        with open(os.path.join(folder, name), "wb") as saved:
            saved.write(part.get_payload(decode=True))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
