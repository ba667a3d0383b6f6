#!/usr/bin/env python3
"""End to end with real programs: a letter written in neomutt goes through the shipped recipe's
sendmail and a real Postfix into a Maildir, and is read back in neomutt and aerc.

mail-clients.py SOURCE_DIR VELDORAN_TOOL

Postfix listens on 127.0.0.1 on a free port, with its configuration, queue and Maildirs in a
temporary folder; the clients run in tmux on a server socket of their own and are driven with
send-keys and read with capture-pane. Every program started is stopped by its process id; this
process is their subreaper, so that nothing they leave behind outlives the test. Exit 77 (a skip)
only where this machine cannot run a mail server at all.
"""
import ctypes
import email
import email.policy
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77

POSTFIX_MASTER = "/usr/lib/postfix/sbin/master"
LETTER = ["Dear Bob,", "Grüße aus Köln: the façade is done, à bientôt!", "Alice"]
ACCENTED = LETTER[1]
ARMOUR_START = "#BINASCII1#"
ATTACHMENT_NAME = "plan.bin"
# Every byte value, so that a part re-encoded as text on the way shows as a difference.
ATTACHMENT = bytes(range(256)) * 8 + "Köln façade\n".encode()
SUBJECT = "Plans for the house"
TIMEOUT = 15.0


class Failure(Exception):
    pass


def wait_for(what, check, timeout=TIMEOUT, on_failure=None):
    """Polls check() until it returns something true; raises Failure with what after timeout."""
    deadline = time.monotonic() + timeout
    delay = 0.02
    while True:
        result = check()
        if result:
            return result
        if time.monotonic() > deadline:
            detail = on_failure() if on_failure else ""
            raise Failure(f"timed out waiting for {what}" + (f"\n{detail}" if detail else ""))
        time.sleep(delay)
        delay = min(delay * 2, 0.2)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def skip_reason():
    if os.geteuid() != 0:
        return "Postfix's master runs only as root, and this test runs as " + \
               pwd.getpwuid(os.geteuid()).pw_name
    if not os.access(POSTFIX_MASTER, os.X_OK) or shutil.which("postfix") is None:
        return "no Postfix here (" + POSTFIX_MASTER + "); scripts/install-deps.sh installs it"
    try:
        pwd.getpwnam("postfix")
    except KeyError:
        return "no postfix user here; reinstall the postfix package"
    return None


class Programs:
    """Whatever the test starts, stopped by process id at the end, and reaped."""

    def __init__(self):
        self.started = []  # (name, pid, whole process group)
        # Postfix's daemons and tmux's server leave their parents; as subreaper this process
        # gets them back when their parent ends, and reaps them.
        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_CHILD_SUBREAPER = 36
        libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

    def add(self, name, pid, group=False):
        self.started.append((name, pid, group))

    def stop_all(self):
        for name, pid, group in reversed(self.started):
            try:
                os.killpg(pid, signal.SIGTERM) if group else os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        wait_for("every started program to end", self.reap_all, timeout=10,
                 on_failure=self.left_running)

    def reap_all(self):
        while True:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return True
            if pid == 0:
                return False

    def left_running(self, marks=()):
        """ps lines of this process's children and of any process naming one of marks."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
                with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                    args = cmdline.read().replace(b"\0", b" ").decode(errors="replace")
            except (OSError, IndexError, ValueError):
                continue
            if parent == os.getpid() or any(mark in args for mark in marks):
                found.append(f"{entry} (parent {parent}): {args}")
        return "\n".join(found)


class Tmux:
    def __init__(self, folder, programs):
        self.socket = f"veldoran-e2e-{os.getpid()}"
        self.server = None
        # The clients' working folder: whatever they write by mistake stays in the test's folder.
        self.folder = folder
        # The server's own environment; each window gets its user's on top.
        self.env = client_env(folder, "tmux")
        self.programs = programs
        self.config = os.path.join(folder, "tmux.conf")
        with open(self.config, "w") as conf:
            conf.write("set -g history-limit 0\nset -g status off\n")

    def run(self, *args, check=True):
        return subprocess.run(["tmux", "-L", self.socket, "-f", self.config, *args], env=self.env,
                              cwd=self.folder, check=check, capture_output=True,
                              text=True).stdout

    def start(self, window, command, env):
        if self.server is None:
            self.run("new-session", "-d", "-s", "e2e", "-x", "110", "-y", "30")
            self.server = int(self.run("display-message", "-p", "#{pid}").strip())
            self.programs.add("tmux server", self.server)
        variables = [f"-e{name}={value}" for name, value in env.items()]
        self.run("new-window", "-t", "e2e", "-n", window, *variables, command)

    def keys(self, window, *keys, literal=False):
        self.run("send-keys", "-t", f"e2e:{window}", *(["-l"] if literal else []), *keys)

    def screen(self, window):
        return self.run("capture-pane", "-p", "-t", f"e2e:{window}", check=False)

    def wait_screen(self, window, text, timeout=TIMEOUT):
        def shows():
            screen = self.screen(window)
            return screen if text in screen else None

        return wait_for(f"{text!r} on {window}'s screen", shows, timeout,
                        on_failure=lambda: "screen:\n" + self.screen(window))


def write(path, text, mode=0o644):
    with open(path, "w") as out:
        out.write(text)
    os.chmod(path, mode)


def start_postfix(folder, programs):
    """Postfix for example.test on 127.0.0.1, delivering into Maildirs under folder/mail."""
    conf = os.path.join(folder, "postfix")
    mail = os.path.join(folder, "mail")
    for sub in (conf, mail, os.path.join(folder, "queue"), os.path.join(folder, "data")):
        os.mkdir(sub)
    postfix = pwd.getpwnam("postfix")
    for sub in (mail, os.path.join(folder, "data")):
        os.chown(sub, postfix.pw_uid, postfix.pw_gid)
    port = free_port()
    write(os.path.join(conf, "main.cf"), f"""\
compatibility_level = 3.6
queue_directory = {folder}/queue
data_directory = {folder}/data
mail_owner = postfix
myhostname = mail.example.test
mydomain = example.test
myorigin = example.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
alias_maps =
alias_database =
virtual_mailbox_domains = example.test
virtual_mailbox_base = {mail}
virtual_mailbox_maps = texthash:{conf}/mailboxes
virtual_uid_maps = static:{postfix.pw_uid}
virtual_gid_maps = static:{postfix.pw_gid}
virtual_mailbox_limit = 0
message_size_limit = 67108864
smtputf8_enable = yes
maillog_file = {folder}/maillog
maillog_file_prefixes = {folder}
""")
    write(os.path.join(conf, "mailboxes"),
          "alice@example.test alice/INBOX/\nbob@example.test bob/INBOX/\n")
    # name, private, unprivileged, process limit, program; virtual writes as the mailbox owner.
    services = [("cleanup", "n", "-", "0", "cleanup"), ("qmgr", "n", "-", "1", "qmgr"),
                ("rewrite", "-", "-", "-", "trivial-rewrite"), ("bounce", "-", "-", "0", "bounce"),
                ("defer", "-", "-", "0", "bounce"), ("trace", "-", "-", "0", "bounce"),
                ("verify", "-", "-", "1", "verify"), ("proxymap", "-", "-", "-", "proxymap"),
                ("error", "-", "-", "-", "error"), ("retry", "-", "-", "-", "error"),
                ("discard", "-", "-", "-", "discard"), ("virtual", "-", "n", "-", "virtual"),
                ("anvil", "-", "-", "1", "anvil"), ("scache", "-", "-", "1", "scache")]
    master = f"127.0.0.1:{port} inet n - n - - smtpd\n"
    master += "".join(f"{name} unix {private} {unprivileged} n - {limit} {program}\n"
                      for name, private, unprivileged, limit, program in services)
    master += "postlog unix-dgram n - n - 1 postlogd\n"
    write(os.path.join(conf, "master.cf"), master)
    # The queue's folders with the owners and modes that `postfix check` would give them (it
    # takes seconds to do so).
    queue = os.path.join(folder, "queue")
    os.mkdir(os.path.join(queue, "pid"))
    for sub in ("active", "bounce", "corrupt", "defer", "deferred", "flush", "hold", "incoming",
                "private", "saved", "trace", "maildrop", "public"):
        path = os.path.join(queue, sub)
        os.mkdir(path)
        os.chown(path, postfix.pw_uid, -1)
        os.chmod(path, 0o700)
    # Postfix reads a configuration file again and again until it is a second old (a file still
    # being edited); these are finished.
    past = time.time() - 10
    for name in ("main.cf", "master.cf", "mailboxes"):
        os.utime(os.path.join(conf, name), (past, past))
    log = open(os.path.join(folder, "master.out"), "w")
    # Its own process group: on SIGTERM the master stops its whole group, daemons included.
    master_process = subprocess.Popen([POSTFIX_MASTER, "-c", conf, "-d"], stdout=log,
                                      stderr=subprocess.STDOUT, start_new_session=True)
    programs.add("postfix master", master_process.pid, group=True)

    def listening():
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    wait_for("Postfix to listen", listening,
             on_failure=lambda: read_text(os.path.join(folder, "maillog")))
    return port, mail


def read_text(path):
    try:
        with open(path, errors="replace") as text:
            return text.read()
    except OSError as error:
        return str(error)


def make_keys(tool, folder):
    """alice's and bob's key folders: each holds the year's master key and both user keys."""
    state = os.path.join(folder, "tool-state")
    env = dict(os.environ, XDG_STATE_HOME=state, HOME=os.path.join(state, "home"),
               XDG_CONFIG_HOME=os.path.join(state, "config"))
    made = os.path.join(folder, "keys-made")
    for name in ("Master", "alice", "bob"):
        subprocess.run([tool, "key", "new", name, "-k", made, "--size", "64K"], env=env,
                       check=True, stdout=subprocess.DEVNULL)
    for user in ("alice", "bob"):
        shutil.copytree(made, os.path.join(folder, user, ".veldoran", "keys"))


def recipe(source, path, replacements=()):
    """A recipe from contrib/ as shipped, but for the replacements (old, new) in it."""
    with open(os.path.join(source, "contrib", path)) as lines:
        text = lines.read()
    for old, new in replacements:
        if old not in text:
            raise Failure(f"contrib/{path} no longer holds {old!r}")
        text = text.replace(old, new)
    return text


def tool_on_path(folder, tool):
    """veldoran-tool where the clients find it: the bin/ folder on their PATH."""
    path = os.path.join(folder, "bin", "veldoran-tool")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    os.symlink(tool, path)


def client_env(folder, user):
    home = os.path.join(folder, user)
    for sub in (".tmp", ".run"):
        os.makedirs(os.path.join(home, sub), exist_ok=True)
    return {"HOME": home, "PATH": f"{folder}/bin:/usr/bin:/bin", "LANG": "C.UTF-8",
            "LC_ALL": "C.UTF-8", "TERM": "screen", "XDG_CONFIG_HOME": f"{home}/.config",
            "XDG_STATE_HOME": f"{home}/.local/state", "XDG_CACHE_HOME": f"{home}/.cache",
            "XDG_RUNTIME_DIR": f"{home}/.run", "TMPDIR": f"{home}/.tmp"}


def neomutt_rc(source, folder, user, extra):
    home = os.path.join(folder, user)
    for sub in ("Mail/inbox/cur", "Mail/inbox/new", "Mail/inbox/tmp"):
        os.makedirs(os.path.join(home, sub), exist_ok=True)
    rc = os.path.join(home, "muttrc")
    write(rc, f"""\
set from = "{user.capitalize()} <{user}@example.test>"
set use_from = yes
set mbox_type = Maildir
set folder = {home}/Mail
set spoolfile = +inbox
set record = ""
set postpone = no
set header_cache = ""
set askcc = no
set askbcc = no
set edit_headers = no
set abort_noattach = no
set wait_key = no
set sleep_time = 0
set mail_check_stats = no
set charset = utf-8
set send_charset = utf-8
set pipe_decode = no
{extra}
""" + recipe(source, "neomutt/veldoran.muttrc",
             [("-u alice", f"-u {user}"), ("/usr/sbin/sendmail", f"{folder}/bin/sendmail")]))
    return rc


def send_letter(tmux, attachment):
    tmux.wait_screen("alice", "m:Mail")
    tmux.keys("alice", "m")
    tmux.wait_screen("alice", "To:")
    tmux.keys("alice", "bob@example.test", literal=True)
    tmux.keys("alice", "Enter")
    tmux.wait_screen("alice", "Subject:")
    tmux.keys("alice", SUBJECT, literal=True)
    tmux.keys("alice", "Enter")
    tmux.wait_screen("alice", "Write the letter")
    for line in LETTER:
        tmux.keys("alice", line, literal=True)
        tmux.keys("alice", "Enter")
    tmux.keys("alice", "C-d")
    tmux.wait_screen("alice", "y:Send")
    tmux.keys("alice", "a")
    tmux.wait_screen("alice", "Attach file")
    tmux.keys("alice", attachment, literal=True)
    tmux.keys("alice", "Enter")
    tmux.wait_screen("alice", ATTACHMENT_NAME)
    tmux.keys("alice", "y")
    tmux.wait_screen("alice", "Mail sent")


def delivered(mail, user):
    new = os.path.join(mail, user, "INBOX", "new")
    files = os.listdir(new) if os.path.isdir(new) else []
    return [os.path.join(new, name) for name in files]


def check_delivered(path):
    with open(path, "rb") as delivered_file:
        raw = delivered_file.read()
    mail = email.message_from_bytes(raw, policy=email.policy.default)
    body = mail.get_body(("plain",))
    text = body.get_content() if body is not None else ""
    attachments = {part.get_filename(): part.get_payload(decode=True)
                   for part in mail.iter_attachments()}
    shown = raw.decode("utf-8", errors="replace")
    if mail["Subject"] != SUBJECT:
        raise Failure(f"the delivered mail has lost its Subject:\n{shown}")
    # The header keeps the sender's name, which the letter's last line repeats: only the body
    # must hold nothing of the letter.
    body_bytes = raw.split(b"\n\n", 1)[-1]
    clear = [line for line in LETTER if line in text or line.encode() in body_bytes]
    clear += [name for name, data in attachments.items() if ATTACHMENT in data]
    if clear or ATTACHMENT_NAME.encode() in raw:
        raise Failure(f"the delivered mail holds in clear: {clear or ATTACHMENT_NAME}\n{shown}")
    if ARMOUR_START not in text or list(attachments) != ["attachments.vlb"]:
        raise Failure(f"the delivered mail lacks the armour or attachments.vlb:\n{shown}")


def check_letter_shown(tmux, window):
    screen = tmux.wait_screen(window, ACCENTED)
    if ARMOUR_START in screen:
        raise Failure(f"{window} shows the armour beside the letter:\n{screen}")


def read_in_neomutt(tmux, source, folder, mail):
    rc = neomutt_rc(source, folder, "bob", "")
    tmux.start("bob", f"neomutt -n -F {rc} -f {mail}/bob/INBOX", client_env(folder, "bob"))
    tmux.wait_screen("bob", SUBJECT)
    tmux.keys("bob", "Enter")
    check_letter_shown(tmux, "bob")
    # The recipe's binding: Esc-o.
    tmux.keys("bob", "Escape", "o")
    saved = os.path.join(folder, "bob", "Attachments", ATTACHMENT_NAME)
    wait_for(f"{saved} from neomutt's binding", lambda: os.path.exists(saved),
             on_failure=lambda: "screen:\n" + tmux.screen("bob"))
    compare_saved(saved)
    tmux.keys("bob", "q")
    tmux.keys("bob", "q")


def compare_saved(saved):
    def complete():
        with open(saved, "rb") as got:
            return got.read() == ATTACHMENT

    wait_for(f"{saved} to hold the attachment byte for byte", complete, timeout=5)
    os.remove(saved)


def aerc_config(source, folder, mail):
    home = os.path.join(folder, "bob")
    config = os.path.join(home, ".config", "aerc")
    os.makedirs(config, exist_ok=True)
    write(os.path.join(config, "aerc.conf"),
          "[general]\nunsafe-accounts-conf = true\n[ui]\nmouse-enabled = false\n"
          "[viewer]\npager = cat\n" +
          recipe(source, "aerc/aerc.conf"))
    write(os.path.join(config, "accounts.conf"),
          f"[bob]\nsource = maildir://{mail}/bob\noutgoing = /bin/false\n"
          "from = Bob <bob@example.test>\ndefault = INBOX\n", 0o600)
    with open("/usr/share/aerc/binds.conf") as defaults:
        binds = defaults.read()
    ours = recipe(source, "aerc/binds.conf")
    # The recipe's bindings go into the sections of the default ones that aerc would load.
    for section in ("[messages]", "[view]"):
        line = next(line for line in ours.split(section, 1)[1].splitlines() if "veldoran" in line)
        binds = binds.replace(section + "\n", f"{section}\n{line}\n", 1)
    write(os.path.join(config, "binds.conf"), binds)


def read_in_aerc(tmux, source, folder, mail):
    aerc_config(source, folder, mail)
    tmux.start("aerc", "aerc", client_env(folder, "bob"))
    tmux.wait_screen("aerc", SUBJECT)
    tmux.keys("aerc", "Enter")
    check_letter_shown(tmux, "aerc")
    tmux.keys("aerc", "C-o")
    saved = os.path.join(folder, "bob", "Attachments", ATTACHMENT_NAME)
    wait_for(f"{saved} from aerc's binding", lambda: os.path.exists(saved),
             on_failure=lambda: "screen:\n" + tmux.screen("aerc"))
    compare_saved(saved)


def run(source, tool, folder, programs):
    here = os.path.join(source, "tests", "e2e")
    port, mail = start_postfix(folder, programs)
    make_keys(tool, folder)
    tool_on_path(folder, tool)
    write(os.path.join(folder, "bin", "sendmail"),
          f"#!/bin/sh\nexec python3 {here}/smtp-submit.py 127.0.0.1 {port} \"$@\"\n", 0o755)
    attachment = os.path.join(folder, "alice", ATTACHMENT_NAME)
    os.makedirs(os.path.dirname(attachment), exist_ok=True)
    with open(attachment, "wb") as out:
        out.write(ATTACHMENT)

    tmux = Tmux(folder, programs)
    rc = neomutt_rc(source, folder, "alice",
                    "set editor = \"printf 'Write the letter, end it with Ctrl-D.\\\\n'; cat >\"")
    tmux.start("alice", f"neomutt -n -F {rc}", client_env(folder, "alice"))
    send_letter(tmux, attachment)
    files = wait_for("the letter in bob's Maildir", lambda: delivered(mail, "bob"),
                     on_failure=lambda: read_text(os.path.join(folder, "maillog")))
    check_delivered(files[0])

    read_in_neomutt(tmux, source, folder, mail)
    read_in_aerc(tmux, source, folder, mail)


def main(argv):
    if len(argv) != 3:
        print("usage: mail-clients.py SOURCE_DIR VELDORAN_TOOL", file=sys.stderr)
        return 64
    reason = skip_reason()
    if reason:
        print(f"mail-clients: skipped: cannot run a mail server here: {reason}")
        return SKIP
    source, tool = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    folder = tempfile.mkdtemp(prefix="veldoran-e2e-")
    # Postfix's daemons run as postfix and must reach their queue below this folder.
    os.chmod(folder, 0o755)
    programs = Programs()
    status = 0
    try:
        run(source, tool, folder, programs)
        print("mail-clients: neomutt sent through Postfix; neomutt and aerc read it back")
    except (Failure, subprocess.CalledProcessError) as error:
        print(f"mail-clients: FAILED: {error}", file=sys.stderr)
        status = 1
    finally:
        programs.stop_all()
        left = programs.left_running((folder, f"veldoran-e2e-{os.getpid()}"))
        if left:
            print(f"mail-clients: FAILED: still running:\n{left}", file=sys.stderr)
            status = 1
        if status == 0:
            shutil.rmtree(folder)
        else:
            print(f"mail-clients: the test's folder is kept: {folder}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
