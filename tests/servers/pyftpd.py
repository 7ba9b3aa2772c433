#!/usr/bin/python3
"""A pyftpdlib server for the end-to-end tests and the demo.

Serves one folder to one user (read and write) on ADDRESS:21 (or --port) until it is
killed; SIGTERM ends it at once, which is fine: it is one process with no
state to save. Each session runs on a thread with a loop of its own. In one
shared loop, a session that quits just after the next one was accepted
closes its PORT connector once more, by a descriptor number the new session's
socket now has, and so takes that socket out of the loop: the new session
never gets an answer. Callers know it is ready when it greets on ADDRESS:21
with its banner (give each server a banner of its own, so that a greeting
from another server on the same address is not taken for this one's).

With --tls explicit or implicit (and --cert, --key) it requires TLS on the
control connection (AUTH TLS, or TLS from the first byte) and on every data
connection (PROT P).
"""
import argparse
import logging

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer


def tls_handler(implicit):
    # Imported here: a plain server must not need pyOpenSSL.
    from pyftpdlib.handlers import TLS_FTPHandler

    class Handler(TLS_FTPHandler):
        tls_control_required = True
        tls_data_required = True
        _greeted = False

        # pyftpdlib has no implicit mode: the connection is secured before
        # anything is sent, and the greeting goes out once the handshake is
        # done (pushed before, it would wait for the client's first command).
        def handle(self):
            if implicit:
                self.secure_connection(self.ssl_context)
            else:
                super().handle()

        def handle_ssl_established(self):
            if implicit and not self._greeted:
                self._greeted = True
                super().handle()

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("address")
    parser.add_argument("folder")
    parser.add_argument("user")
    parser.add_argument("password")
    parser.add_argument("--banner", default="pyftpdlib ready.")
    parser.add_argument("--port", type=int, default=21)
    parser.add_argument("--log", help="log every command and reply to this file")
    parser.add_argument("--tls", choices=("explicit", "implicit"))
    parser.add_argument("--cert", help="the server's certificate (PEM), with --tls")
    parser.add_argument("--key", help="its private key (PEM)")
    args = parser.parse_args()
    if args.log:
        logging.basicConfig(filename=args.log, level=logging.DEBUG)

    authorizer = DummyAuthorizer()
    # e l r a d f m w M T: every read and write right pyftpdlib knows.
    authorizer.add_user(args.user, args.password, args.folder, perm="elradfmwMT")
    handler = FTPHandler
    if args.tls:
        handler = tls_handler(args.tls == "implicit")
        handler.certfile = args.cert
        handler.keyfile = args.key
    handler.authorizer = authorizer
    handler.banner = args.banner
    handler.timeout = 120  # idle sessions end by themselves

    ThreadedFTPServer((args.address, args.port), handler).serve_forever()


if __name__ == "__main__":
    main()
