#!/usr/bin/env python3
"""Local stand-in for the remote inventory service, for tests and the demo.

Serves HTTPS on the given address with the given certificate, appends one
line per request ("GET /path") to the log file, and answers according to the
mode, as a good service does or as a failing one does:
  ok           200, body "kelvorn-e2e reply N" (N counts the requests served)
  error        500, body "inventory error"
  404, 503     that status with an HTML page
  301, 302     a redirect to /moved, with a body of its own
  empty, 204   200 with an empty body; 204 No Content
  cut          200 whose connection closes after half its Content-Length
  chunked_cut  200 chunked, dropped after a first chunk of half the body
  stall        accepts the request and never answers
  stall_half   200 with reply N repeated 4096 times, which sends half its
               body, then never the rest: enough that curl has written some
  slow         200 with reply N repeated 100 * N times, sent in two halves
               half a second apart, the first reply's a second: runs at once
               get replies of different lengths, the shorter ending last
Prints "ready" on stdout once it listens. Standard library only.
"""
import argparse
import http.server
import ssl
import sys
import threading
import time

PAGE = "<html><body><h1>%d</h1></body></html>\n"
# mode: the status and body of its answer (None: the numbered reply)
ANSWERS = {"ok": (200, None), "error": (500, "inventory error\n"), "404": (404, PAGE % 404),
           "503": (503, PAGE % 503), "301": (301, PAGE % 301), "302": (302, PAGE % 302),
           "empty": (200, ""), "204": (204, ""), "cut": (200, None), "chunked_cut": (200, None),
           "stall_half": (200, None), "slow": (200, None)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--mode", choices=sorted(ANSWERS) + ["stall"], default="ok")
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    args = parser.parse_args()

    served = [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            with open(args.log, "a") as log:
                log.write("%s %s\n" % (self.command, self.path))
            served[0] += 1
            mode = args.mode
            if mode == "stall":
                threading.Event().wait()
            status, body = ANSWERS[mode]
            if body is None:
                body = "kelvorn-e2e reply %d\n" % served[0]
            if mode == "slow":
                body *= 100 * served[0]
            elif mode == "stall_half":
                body *= 4096
            data = body.encode()
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            if status in (301, 302):
                self.send_header("Location", "/moved")
            half = len(data) // 2
            if mode == "chunked_cut":
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                self.wfile.write(b"%x\r\n%s\r\n" % (half, data[:half]))
                self.close_connection = True
                return
            if status != 204:
                self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            if mode in ("cut", "stall_half", "slow"):
                self.wfile.write(data[:half])
                self.wfile.flush()
                if mode == "cut":
                    self.close_connection = True
                    return
                if mode == "stall_half":
                    threading.Event().wait()
                time.sleep(0.5 if mode == "slow" and served[0] > 1 else 1)
                data = data[half:]
            self.wfile.write(data)

        def log_message(self, *unused):
            pass

    server = http.server.ThreadingHTTPServer((args.bind, args.port), Handler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("ready", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
