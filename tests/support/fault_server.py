#!/usr/bin/python3
"""A scripted HTTP/1.1 server for the engine tests: serves the files of a folder with byte ranges,
and misbehaves on demand through the query of each address.

Query keys (combine freely):
  drop=N        send the headers and N bytes of the body, then close the connection
  stall=MS      send the headers and half the body, then wait MS milliseconds before closing
  times=K       apply drop/stall to the first K requests of this address only (default 1)
  status=C      answer with status C and a short body
  nolength=1    no Content-Length; the body ends when the connection closes
  norange=1     ignore Range headers: always 200 with the whole file
  badrange=1    answer a Range request with 206 and a Content-Range for another range
  redirect=N    redirect N times (302) before serving; loop=1 redirects to itself for ever
  to=URL        redirect (302) once to URL
  cookie=V      redirects set the cookie "c=V"
  disposition=V send "Content-Disposition: V"
Every request is logged to the log file as one line: method, path, then the headers as
"name: value" separated by " | ".
"""
import argparse
import os
import socket
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

COUNTS = {}
LOCK = threading.Lock()


def count(key):
    with LOCK:
        COUNTS[key] = COUNTS.get(key, 0) + 1
        return COUNTS[key]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def log_request_line(self):
        heads = " | ".join(f"{k}: {v}" for k, v in self.headers.items())
        with LOCK:
            with open(self.server.log_path, "a", encoding="utf-8", errors="replace") as f:
                f.write(f"{self.command} {self.path} | {heads}\n")

    def do_HEAD(self):
        self.do_GET(head=True)

    def do_GET(self, head=False):
        self.log_request_line()
        parsed = urllib.parse.urlsplit(self.path)
        q = dict(urllib.parse.parse_qsl(parsed.query, keep_blank_values=True))
        nth = count(self.path)
        times = int(q.get("times", "1"))

        if "status" in q:
            body = b"error page\n"
            self.send_response(int(q["status"]))
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if q.get("loop") == "1":
            return self.redirect(self.path, q)
        if "to" in q:
            return self.redirect(q["to"], q)
        if int(q.get("redirect", "0")) > 0:
            q2 = dict(q)
            q2["redirect"] = str(int(q["redirect"]) - 1)
            target = parsed.path + "?" + urllib.parse.urlencode(q2)
            return self.redirect(target, q)

        rel = urllib.parse.unquote(parsed.path).lstrip("/")
        path = os.path.realpath(os.path.join(self.server.root, rel))
        if not path.startswith(self.server.root + os.sep):
            path = os.path.join(self.server.root, os.path.basename(path))
        if not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            data = f.read()
        size = len(data)

        first, last, partial = 0, size - 1, False
        rng = self.headers.get("Range")
        if rng and q.get("norange") != "1" and rng.startswith("bytes="):
            a, _, b = rng[6:].partition("-")
            first = int(a)
            last = int(b) if b else size - 1
            last = min(last, size - 1)
            partial = True
        body = data[first:last + 1]

        self.send_response(206 if partial else 200)
        if partial:
            if q.get("badrange") == "1":
                self.send_header("Content-Range", f"bytes {first + 1}-{last}/{size}")
                body = body[1:]
            else:
                self.send_header("Content-Range", f"bytes {first}-{last}/{size}")
        if q.get("nolength") == "1":
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(body)))
        if "disposition" in q:
            self.send_header("Content-Disposition", q["disposition"])
        self.end_headers()
        if head:
            return

        faulty = nth <= times
        if "drop" in q and faulty:
            self.wfile.write(body[: int(q["drop"])])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if "stall" in q and faulty:
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            time.sleep(int(q["stall"]) / 1000.0)
            self.close_connection = True
            return
        self.wfile.write(body)

    def redirect(self, target, q):
        self.send_response(302)
        self.send_header("Location", target)
        if "cookie" in q:
            self.send_header("Set-Cookie", f"c={q['cookie']}; Path=/")
            self.send_header("Set-Cookie", "second=no; Path=/")
        self.send_header("Content-Length", "0")
        self.end_headers()


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # clients that hang up early are part of the tests


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True)
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--log", required=True)
    args = ap.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.root = os.path.realpath(args.root)
    server.log_path = args.log
    open(args.log, "w").close()
    tmp = args.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, args.port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
