#!/usr/bin/python3
"""A scripted FTP-over-TLS server for the TLS tests: one folder, any user and
password, and a scenario that makes it misbehave in one chosen way.

TLS is explicit (AUTH TLS on --port, default 21) or, with --implicit, starts
with the first byte (default port 990). Data connections need PBSZ 0 and
PROT P and are TLS with this server as the TLS server, whoever connects: it
takes the client's connection on the port of PASV/EPSV, or connects to the
address of PORT (from its own address) at the transfer command, sends 150,
then expects the client's handshake. Each control connection has a TLS
context of its own, so a data connection can only resume that connection's
session; by default it must (else 522, as vsftpd's require_ssl_reuse), and
--no-reuse-required lifts that. A download ends with close_notify, after
which the server waits (bounded) for the client to end the connection; an
upload that ends without the client's close_notify gets 426.

Each line of --transcript starts with the session's number:
  N clear LINE | N tls LINE   a command as received, passwords included
  N data MODE VERB tls=yes|no resumed=yes|no bytes=N end=HOW
                              a data connection: MODE passive or active; HOW
                              is how the client ended it: close_notify, eof
                              (a bare TCP end), reset, open (not within the
                              wait), error (a TLS error); or none (no TLS),
                              cut (this server ended it without close_notify)
  N note TEXT                 anything else the server saw or did
It prints "ready" once it listens and serves until it is killed.
"""
import argparse
import fnmatch
import os
import socket
import ssl
import sys
import threading

DATA_WAIT = 15  # seconds: a data connect, accept or handshake; a client's end
IDLE_WAIT = 120  # a control connection without a command

SCENARIOS = {
    "normal": "serves as described above",
    "refuse-auth": "AUTH answered 534; logging in without TLS is allowed",
    "pipelined-after-234": "a forged 230 in clear right behind the 234 of AUTH",
    "cut-download": "RETR data ends without close_notify, then 226",
    "stall-handshake": "reads the ClientHello of the control connection, never answers",
    "refuse-prot": "PROT P answered 536",
    "data-handshake-fails": "after 150 the data connection is closed, then 425",
}


# Commands answered the same way whatever came before.
FIXED_REPLIES = {
    "FEAT": "211-Features:\r\n AUTH TLS\r\n PBSZ\r\n PROT\r\n EPSV\r\n211 End",
    "SYST": "215 UNIX Type: L8",
    "TYPE": "200 Type set.",
    "NOOP": "200 OK.",
}


class Transcript:
    def __init__(self, path):
        self.file = open(path, "a", buffering=1, encoding="utf-8")  # a line at a time
        self.lock = threading.Lock()

    def write(self, session, text):
        with self.lock:
            self.file.write("%d %s\n" % (session, text))


class Data:
    """One data connection: how it came, for which command, its TLS socket."""

    def __init__(self, mode, verb):
        self.mode, self.verb = mode, verb
        self.conn, self.resumed = None, False


class Session:
    def __init__(self, args, transcript, number, sock):
        self.args, self.sock = args, sock
        self.log = lambda text: transcript.write(number, text)
        self.scenario = args.scenario
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.minimum_version = ssl.TLSVersion.TLSv1_2
        if args.tls12_only:
            self.context.maximum_version = ssl.TLSVersion.TLSv1_2
        self.context.load_cert_chain(args.cert, args.key)
        # Python ignores a missing close_notify by default: this server tells.
        self.context.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF
        self.tls = self.pbsz = self.prot = False
        self.buffer = b""
        self.passive = None  # the listener of the last PASV/EPSV
        self.port = None  # the address of the last PORT
        self.cwd = "/"

    # ------------------------------------------------------------ the connection

    def run(self):
        try:
            self.sock.settimeout(IDLE_WAIT)
            if self.args.implicit and not self.secure_control():
                return
            self.reply("220 TLS script server ready.")
            while True:
                line = self.read_line()
                if line is None:
                    return
                self.log(("tls " if self.tls else "clear ") + line)
                verb, _, argument = line.partition(" ")
                handler = getattr(self, "ftp_" + verb.upper(), None)
                if verb.upper() in FIXED_REPLIES:
                    self.reply(FIXED_REPLIES[verb.upper()])
                elif handler is None:
                    self.reply("502 Command not implemented.")
                elif handler(argument) == "end":
                    return
        except (OSError, ValueError) as error:
            self.log("note session ended: %s" % error)
        finally:
            for sock in (self.sock, self.passive):
                if sock:
                    sock.close()

    def read_line(self):
        # In clear one byte at a time, so that nothing behind AUTH's line is
        # taken from the handshake that follows it.
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(4096 if self.tls else 1)
            if not chunk:
                return None
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.rstrip(b"\r").decode("utf-8", "replace")

    def reply(self, text):
        self.sock.sendall(text.encode() + b"\r\n")

    def secure_control(self):
        if self.scenario == "stall-handshake":
            return self.stall()
        try:
            self.sock = self.context.wrap_socket(self.sock, server_side=True)
        except (ssl.SSLError, OSError) as error:
            self.log("note control handshake failed: %s" % error)
            return False
        self.tls = True
        return True

    def stall(self):
        hello = self.sock.recv(16384)
        self.log("note stalled after %d bytes of the client's handshake" % len(hello))
        self.sock.settimeout(None)
        while self.sock.recv(16384):  # until the client gives up
            pass
        return False

    # ------------------------------------------------------------ commands

    def ftp_AUTH(self, argument):
        if self.tls:
            return self.reply("503 Already using TLS.")
        if argument.upper() not in ("TLS", "SSL", "TLS-C"):
            return self.reply("504 AUTH TLS only.")
        if self.scenario == "refuse-auth":
            return self.reply("534 TLS not available")
        if self.scenario == "pipelined-after-234":
            self.reply("234 Go ahead\r\n230 Logged in without a password")  # one send
            self.log("note sent a forged 230 in clear behind the 234")
        else:
            self.reply("234 Go ahead")
        if not self.secure_control():
            return "end"

    def ftp_USER(self, argument):
        if self.needs_tls():
            self.reply("331 Password required.")

    def ftp_PASS(self, argument):
        if self.needs_tls():
            self.reply("230 Logged in.")

    def needs_tls(self):
        if self.tls or self.scenario == "refuse-auth":
            return True
        self.reply("530 Log in over TLS: AUTH TLS first.")
        return False

    def ftp_PBSZ(self, argument):
        if not self.tls:
            return self.reply("503 PBSZ needs TLS.")
        self.pbsz = True
        self.reply("200 PBSZ=0")

    def ftp_PROT(self, argument):
        if not self.pbsz:
            return self.reply("503 PBSZ first.")
        if argument.upper() != "P" or self.scenario == "refuse-prot":
            return self.reply("536 Protection level not supported")
        self.prot = True
        self.reply("200 Protection level Private.")

    def ftp_PWD(self, argument):
        self.reply('257 "%s" is the current directory.' % self.cwd)

    def ftp_CWD(self, argument):
        path = self.local(argument)
        if not os.path.isdir(path):
            return self.reply("550 No such folder.")
        relative = os.path.relpath(path, self.args.folder)
        self.cwd = "/" if relative == "." else "/" + relative
        self.reply("250 Folder changed.")

    def ftp_QUIT(self, argument):
        self.reply("221 Goodbye.")
        return "end"

    def ftp_PORT(self, argument):
        try:
            numbers = [int(n) for n in argument.split(",")]
            assert len(numbers) == 6 and all(0 <= n < 256 for n in numbers)
        except (ValueError, AssertionError):
            return self.reply("501 Bad PORT.")
        self.close_passive()
        self.port = (".".join(map(str, numbers[:4])), numbers[4] * 256 + numbers[5])
        self.reply("200 PORT command successful.")

    def ftp_PASV(self, argument):
        port = self.listen()
        address = self.args.address.replace(".", ",")
        self.reply("227 Entering Passive Mode (%s,%d,%d)." % (address, port // 256, port % 256))

    def ftp_EPSV(self, argument):
        self.reply("229 Entering Extended Passive Mode (|||%d|)" % self.listen())

    def ftp_RETR(self, argument):
        path = self.local(argument)
        if not os.path.isfile(path):
            return self.reply("550 No such file.")
        with open(path, "rb") as f:
            self.download("RETR", f.read())

    def ftp_NLST(self, argument):
        self.download("NLST", "".join(n + "\r\n" for n in self.names(argument)).encode())

    def ftp_LIST(self, argument):
        lines = ""
        for name in self.names(argument):
            path = os.path.join(self.local(""), name)
            mode = "drwxr-xr-x" if os.path.isdir(path) else "-rw-r--r--"
            lines += "%s 1 ftp ftp %d Jan 01 00:00 %s\r\n" % (mode, os.path.getsize(path), name)
        self.download("LIST", lines.encode())

    def ftp_STOR(self, argument):
        self.upload("STOR", self.local(argument), "wb")

    def ftp_APPE(self, argument):
        self.upload("APPE", self.local(argument), "ab")

    # ------------------------------------------------------------ files

    def local(self, name):
        """The path of `name` in the folder (".." stops at its top)."""
        return os.path.join(self.args.folder, os.path.normpath(os.path.join(self.cwd, name))[1:])

    def names(self, argument):
        folder = self.local("")
        pattern = argument if argument and not argument.startswith("-") else "*"
        return sorted(n for n in os.listdir(folder) if fnmatch.fnmatchcase(n, pattern))

    # ------------------------------------------------------------ data connections

    def listen(self):
        self.close_passive()
        self.passive = socket.create_server((self.args.address, 0))
        self.passive.settimeout(DATA_WAIT)
        return self.passive.getsockname()[1]

    def close_passive(self):
        if self.passive:
            self.passive.close()
        self.passive = None

    def open_data(self, verb):
        """The data connection of a transfer, TLS and checked, after 150; None
        (with the final reply sent) when there is none."""
        if not self.prot:
            return self.reply("522 Data connections must be protected: PBSZ 0, PROT P.")
        data = Data("passive" if self.passive else "active", verb)
        try:
            if self.passive:
                raw = self.passive.accept()[0]
                self.close_passive()
            elif self.port:
                raw = socket.create_connection(self.port, DATA_WAIT, (self.args.address, 0))
            else:
                return self.reply("503 PORT or PASV first.")
        except OSError as error:
            self.log("note no data connection: %s" % error)
            return self.reply("425 Cannot open the data connection.")
        self.reply("150 Opening the data connection.")
        if self.scenario == "data-handshake-fails":
            raw.close()
            self.record(data, 0, "none")
            return self.reply("425 Unable to build data connection: TLS handshake failed")
        raw.settimeout(DATA_WAIT)
        try:
            data.conn = self.context.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
        except (ssl.SSLError, OSError) as error:
            raw.close()
            self.log("note data handshake failed: %s" % error)
            self.record(data, 0, "none")
            return self.reply("425 Unable to build data connection: TLS handshake failed")
        data.resumed = data.conn.session_reused
        if not data.resumed and not self.args.no_reuse_required:
            cut(data.conn)
            self.record(data, 0, "cut")
            return self.reply("522 SSL connection failed: session reuse required")
        return data

    def record(self, data, count, end):
        yes = lambda flag: "yes" if flag else "no"
        self.log("data %s %s tls=%s resumed=%s bytes=%d end=%s" % (
            data.mode, data.verb, yes(data.conn), yes(data.resumed), count, end))

    def download(self, verb, payload):
        data = self.open_data(verb)
        if not data:
            return
        data.conn.sendall(payload)
        if self.scenario == "cut-download" and verb == "RETR":
            cut(data.conn)
            end = "cut"
        else:
            end = self.end_download(data.conn)
        self.record(data, len(payload), end)
        self.reply("226 Transfer complete.")

    def end_download(self, conn):
        """Sends close_notify, then waits for the client's end: how it came."""
        try:
            conn.unwrap()
            return "close_notify"
        except OSError as error:
            return ending(error)
        finally:
            conn.close()

    def upload(self, verb, path, file_mode):
        data = self.open_data(verb)
        if not data:
            return
        received, end = bytearray(), None
        while end is None:
            try:
                chunk = data.conn.recv(65536)
                received += chunk
                end = None if chunk else "close_notify"
            except OSError as error:
                end = ending(error)
        if end == "close_notify":
            self.end_download(data.conn)  # answers with its own
        data.conn.close()
        with open(path, file_mode) as f:
            f.write(received)
        self.record(data, len(received), end)
        if end == "close_notify":
            self.reply("226 Transfer complete.")
        else:
            self.reply("426 Upload ended without TLS close_notify.")


def ending(error):
    """How the client ended a TLS connection, from the error it left."""
    if isinstance(error, TimeoutError):
        return "open"
    if isinstance(error, ConnectionResetError):
        return "reset"
    # A TCP end without close_notify; its name varies with the version.
    if isinstance(error, ssl.SSLEOFError) or (
            getattr(error, "reason", None) == "UNEXPECTED_EOF_WHILE_READING"):
        return "eof"
    return "error"


def cut(conn):
    """Ends a TLS connection without close_notify: a bare TCP end, after
    everything sent before."""
    try:
        conn.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    conn.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("address")
    parser.add_argument("folder")
    parser.add_argument("--scenario", choices=SCENARIOS, default="normal")
    parser.add_argument("--implicit", action="store_true", help="TLS from the first byte")
    parser.add_argument("--port", type=int, help="default 21, or 990 with --implicit")
    parser.add_argument("--cert", required=True, help="the server's certificate (PEM)")
    parser.add_argument("--key", required=True, help="its private key (PEM)")
    parser.add_argument("--transcript", required=True)
    parser.add_argument("--no-reuse-required", action="store_true")
    parser.add_argument("--tls12-only", action="store_true")
    args = parser.parse_args()

    port = args.port or (990 if args.implicit else 21)
    listener = socket.create_server((args.address, port))
    transcript = Transcript(args.transcript)
    print("ready", flush=True)
    number = 0
    while True:
        sock = listener.accept()[0]
        number += 1
        session = Session(args, transcript, number, sock)
        threading.Thread(target=session.run, daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
