"""A local HTTP server for the HTTP client's tests: python3 http_server.py PORT-FILE.

It listens on 127.0.0.1 on a port of the system's choice, writes that port into PORT-FILE, and answers:
  /echo...       the request as text: its method, its header lines but Host, an empty line, its body
  /cookies       two Set-Cookie headers
  /redirect      a redirection to /echo
  /bytes         CR LF, a lone CR and a byte that is not UTF-8
  /missing       status 404 with a body
  /silent        nothing at all, until the client gives up (at most 20 s); /silent-report then
                 tells how many seconds that took
  /quit          ends the server
It ends by itself after 120 s in any case.
"""
import http.server
import select
import socket
import sys
import threading
import time

silent_seconds = []
silent_done = threading.Event()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_any(self):
        length = int(self.headers.get("Content-Length", 0))
        body = self.rfile.read(length) if length else b""
        path = self.path
        if path.startswith("/echo"):
            lines = [self.command] + [f"{k}: {v}" for k, v in self.headers.items() if k.lower() != "host"]
            self.reply(200, ("\n".join(lines) + "\n\n").encode() + body)
        elif path == "/cookies":
            self.reply(200, b"ok", [("Set-Cookie", "a=1"), ("Set-Cookie", "b=2"), ("X-Single", "one")])
        elif path == "/redirect":
            self.reply(302, b"", [("Location", "/echo")])
        elif path == "/bytes":
            self.reply(200, b"a\r\nb\rc\xffd")
        elif path == "/missing":
            self.reply(404, b"missing")
        elif path == "/silent":
            start = time.monotonic()
            while time.monotonic() - start < 20:
                ready, _, _ = select.select([self.connection], [], [], 0.1)
                if ready and not self.connection.recv(1, socket.MSG_PEEK):
                    break
            silent_seconds.append(time.monotonic() - start)
            silent_done.set()
            self.close_connection = True
        elif path == "/silent-report":
            # The client may ask before the silent handler's thread has seen it go.
            silent_done.wait(25)
            self.reply(200, str(round(silent_seconds[-1]) if silent_seconds else -1).encode())
        elif path == "/quit":
            self.reply(200, b"bye")
            threading.Thread(target=self.server.shutdown).start()
        else:
            self.reply(400, b"unknown")

    do_GET = do_POST = do_PUT = do_HEAD = do_DELETE = do_PATCH = handle_any


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Timer(120, server.shutdown).start()
    with open(sys.argv[1] + ".part", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.rename(sys.argv[1] + ".part", sys.argv[1])
    server.serve_forever()
    os._exit(0)


main()
