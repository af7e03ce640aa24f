#!/usr/bin/env python3
"""Local stand-in for the remote inventory service, for tests and the demo.

Serves HTTPS on the given address with the given certificate, appends one
line per request ("GET /path") to the log file, and answers according to the
mode:
  ok     200, body "kelvorn-e2e reply N" (N counts the requests served)
  error  500, body "inventory error"
  stall  accepts the request and never answers
Prints "ready" on stdout once it listens. Standard library only.
"""
import argparse
import http.server
import ssl
import sys
import threading


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--mode", choices=["ok", "error", "stall"], default="ok")
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    args = parser.parse_args()

    served = [0]

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            with open(args.log, "a") as log:
                log.write("%s %s\n" % (self.command, self.path))
            served[0] += 1
            if args.mode == "stall":
                threading.Event().wait()
            status, body = {
                "ok": (200, "kelvorn-e2e reply %d\n" % served[0]),
                "error": (500, "inventory error\n"),
            }[args.mode]
            data = body.encode()
            self.send_response(status)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
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
