#!/usr/bin/python3
"""A pyftpdlib server for the end-to-end tests and the demo.

Serves one folder to one user (read and write) on ADDRESS:21 until it is
killed; SIGTERM ends it at once, which is fine: it is one process with no
state to save. Callers know it is ready when it greets on ADDRESS:21.

usage: pyftpd.py ADDRESS FOLDER USER PASSWORD [LOGFILE]
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main(argv):
    if len(argv) not in (5, 6):
        sys.stderr.write(__doc__)
        return 2
    address, folder, user, password = argv[1:5]
    logging.basicConfig(filename=argv[5] if len(argv) == 6 else None,
                        level=logging.DEBUG if len(argv) == 6 else logging.WARNING)

    authorizer = DummyAuthorizer()
    # e l r a d f m w M T: every read and write right pyftpdlib knows.
    authorizer.add_user(user, password, folder, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.banner = "pyftpdlib ready."
    handler.timeout = 120  # idle sessions end by themselves

    server = FTPServer((address, 21), handler)
    server.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
