#!/usr/bin/env python3
"""A webhook target for the boot test: appends each POST's body as one line
to FILE and answers 204. receiver.py ADDRESS PORT FILE"""
import http.server
import sys


class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with open(sys.argv[3], "ab") as f:
            f.write(body.replace(b"\n", b" ") + b"\n")
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


http.server.ThreadingHTTPServer((sys.argv[1], int(sys.argv[2])), Hook).serve_forever()
