"""FTP server for the tests: read-only, anonymous and one user, on a loopback port of its own.

Usage: ftp_server.py ROOT PORT_FILE USER PASSWORD
Binds port 0 on 127.0.0.1 and writes the port it got, followed by a newline, to PORT_FILE.
"""
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, port_file, user, password = sys.argv[1:5]
    logging.basicConfig(stream=sys.stderr, level=logging.DEBUG, format="%(message)s")
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(root, perm="elr")
    authorizer.add_user(user, password, root, perm="elr")

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.banner = "Tolvane test FTP server ready."
    Handler.timeout = 120
    # A refused login answers at once instead of after the usual anti-guessing pause.
    Handler.auth_failed_timeout = 0.05
    # Passive data ports are left to the system (port 0), so parallel servers never clash.
    Handler.passive_ports = None

    server = FTPServer(("127.0.0.1", 0), Handler)
    port = server.socket.getsockname()[1]
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
