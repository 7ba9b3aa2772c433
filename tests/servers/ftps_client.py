#!/usr/bin/python3
"""An FTP-over-TLS client for the test servers' own tests, on ftplib.

Fetches REMOTE to standard output (get) or stores standard input as REMOTE
(put) at ADDRESS, verifying the server against --cafile. Data connections
resume the control connection's TLS session and an upload ends with
close_notify, unless --no-reuse or --no-close-notify say otherwise (to see
that a server notices); a download that ends without the server's
close_notify fails. Exit status 0 when the final reply was 2xx; 1 with the
reason otherwise.
"""
import argparse
import ftplib
import socket
import ssl
import sys


class Client(ftplib.FTP_TLS):
    def __init__(self, args, context):
        super().__init__(context=context, timeout=args.timeout)
        self.args = args

    def connect(self, host, port):
        if not self.args.implicit:
            return super().connect(host, port)
        # TLS from the first byte: ftplib only knows AUTH TLS.
        self.host, self.port = host, port
        plain = socket.create_connection((host, port), self.timeout)
        self.sock = self.context.wrap_socket(plain, server_hostname=host)
        self.af = self.sock.family
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        return self.welcome

    def ntransfercmd(self, cmd, rest=None):
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        session = None if self.args.no_reuse else self.sock.session
        conn = self.context.wrap_socket(conn, server_hostname=self.host, session=session,
                                        suppress_ragged_eofs=False)
        return conn, size


def get(ftp, remote):
    conn, _ = ftp.ntransfercmd("RETR " + remote)
    with conn:
        # To its close_notify: a bare TCP end fails ("unexpected eof").
        while chunk := conn.recv(65536):
            sys.stdout.buffer.write(chunk)
        conn.unwrap()
    return ftp.voidresp()


def put(ftp, remote):
    conn, _ = ftp.ntransfercmd("STOR " + remote)
    with conn:
        conn.sendall(sys.stdin.buffer.read())
        if ftp.args.no_close_notify:
            conn.shutdown(socket.SHUT_WR)  # a bare TCP end
        else:
            conn.unwrap()  # close_notify, and the server's in answer
    return ftp.voidresp()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=("get", "put"))
    parser.add_argument("address")
    parser.add_argument("remote")
    parser.add_argument("--port", type=int)
    parser.add_argument("--implicit", action="store_true", help="TLS from the first byte")
    parser.add_argument("--cafile", required=True)
    parser.add_argument("--user", default="anonymous")
    parser.add_argument("--password", default="")
    parser.add_argument("--active", action="store_true", help="PORT instead of PASV")
    parser.add_argument("--no-reuse", action="store_true")
    parser.add_argument("--no-close-notify", action="store_true")
    parser.add_argument("--timeout", type=float, default=20)
    args = parser.parse_args()

    context = ssl.create_default_context(cafile=args.cafile)
    context.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF  # so that a bare TCP end shows
    ftp = Client(args, context)
    try:
        ftp.connect(args.address, args.port or (990 if args.implicit else 21))
        ftp.login(args.user, args.password)
        ftp.prot_p()
        ftp.set_pasv(not args.active)
        ftp.voidcmd("TYPE I")
        (get if args.command == "get" else put)(ftp, args.remote)
        ftp.quit()
    except (OSError, ftplib.Error, EOFError) as error:
        print("ftps_client:", error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
