#!/usr/bin/env python3
"""A time-stamp authority for the signing tests: RFC 3161 over HTTP on 127.0.0.1.

Each POSTed request goes to `openssl ts -reply -config CONFIG`; the port, chosen by the system,
is printed on the first line of stdout. With --refuse every request is answered with HTTP 500,
as an authority that is up but failing does.
"""
import argparse
import http.server
import subprocess
import sys
import tempfile


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--config", required=True, help="openssl ts configuration")
    parser.add_argument("--refuse", action="store_true", help="answer every request with 500")
    options = parser.parse_args()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            if options.refuse:
                try:
                    self.send_error(500, "the authority is refusing requests")
                except BrokenPipeError:
                    pass  # the client has read the status line and gone
                return
            with tempfile.NamedTemporaryFile() as q, tempfile.NamedTemporaryFile() as r:
                q.write(query)
                q.flush()
                done = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", options.config, "-queryfile", q.name,
                     "-out", r.name], capture_output=True)
                if done.returncode != 0:
                    sys.stderr.write(done.stderr.decode(errors="replace"))
                    self.send_error(500, "openssl ts -reply failed")
                    return
                reply = r.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
