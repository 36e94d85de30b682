#!/usr/bin/env python3
"""Captures raw replies of real HTTP servers on loopback, once, for the parser tests.

Writes python_http_server_*.bin (python3 -m http.server: HTTP/1.0 replies with Content-Length)
and node_chunked_*.bin (a Node.js http server replying with chunked transfer coding), each the
exact bytes received until the server closed the connection.
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def fetch(port, raw_request):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(raw_request)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return data
            data += chunk


def wait_for_port(proc, marker):
    deadline = time.time() + 10
    while time.time() < deadline:
        line = proc.stdout.readline().decode()
        if marker in line:
            return int(line.split(marker)[1].split()[0].strip(" .)/"))
    raise RuntimeError("server did not start")


def save(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)
    print(name, len(data), "bytes")


def python_server():
    root = tempfile.mkdtemp()
    with open(os.path.join(root, "settings.json"), "w") as f:
        f.write('{"inputs": [{"name": "in1", "gain": -3.5}], "outputs": []}\n')
    proc = subprocess.Popen([sys.executable, "-u", "-m", "http.server", "0", "--bind", "127.0.0.1"],
                            cwd=root, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        port = wait_for_port(proc, "port ")
        save("python_http_server_file.bin",
             fetch(port, b"GET /settings.json HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"))
        save("python_http_server_404.bin",
             fetch(port, b"GET /missing HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"))
    finally:
        proc.terminate()
        proc.wait()


NODE = r"""
const http = require('http');
const server = http.createServer((req, res) => {
  res.setHeader('Content-Type', 'application/json');
  res.write('[{"channel":"/meta/handshake",');
  res.write('"successful":true,');
  res.end('"clientId":"abc123"}]');
});
server.listen(0, '127.0.0.1', () => { console.log('listening port ' + server.address().port); });
"""


def node_server():
    proc = subprocess.Popen(["node", "-e", NODE], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        port = wait_for_port(proc, "port ")
        save("node_chunked_reply.bin",
             fetch(port, b"POST /cometd HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n"
                         b"Connection: close\r\n\r\n[]"))
    finally:
        proc.terminate()
        proc.wait()


if __name__ == "__main__":
    python_server()
    node_server()
