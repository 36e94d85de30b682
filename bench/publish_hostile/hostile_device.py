"""velquin_publish against a scripted hostile device on loopback.

Each attack runs the real program once ("-H 127.0.0.1 -P PORT -c") against a device
that misbehaves in one way, and prints its peak RSS, wall time, exit status and the
bytes it wrote on standard output, with the goals beside them:

  peak RSS <= 64 MiB; over within 180 s (time-outs and advice included); status 2
  whenever no usable answer came; no ESC or BEL byte on standard output; never
  another exchange's answer.

A run is killed past 1 GiB of RSS (to spare the machine) or past the time limit; it
then misses its goals. The first row, a sound device, is the peer the others are
compared with (RSS ratio).

  python3 hostile_device.py VELQUIN_PUBLISH [LIMIT_SECONDS [ATTACK NAME PART]]
"""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

RSS_GOAL_MIB = 64
TIME_GOAL_S = 180
RSS_KILL_MIB = 1024

CONFIG = {"ios": {"inputs": [{"id": 1, "name": "Mic"}]}, "sessions": {"sources": []}}
ZEROS = b"0," * 32768


class Device:
    """A loopback listener; every accepted connection is handed to `handler`."""

    def __init__(self, handler):
        self.handler = handler
        self.stop = threading.Event()
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.requests = 0
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            conn.settimeout(1.0)
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def serve(self, conn):
        try:
            self.handler(self, conn)
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.stop.set()
        self.sock.close()
        self.thread.join()

    def read_request(self, conn, pending):
        """The next request (head, body) off the connection, or None when it closed."""
        while b"\r\n\r\n" not in pending[0]:
            if self.stop.is_set():
                return None
            try:
                data = conn.recv(65536)
            except socket.timeout:
                continue
            if not data:
                return None
            pending[0] += data
        head, rest = pending[0].split(b"\r\n\r\n", 1)
        m = re.search(rb"(?i)\r\ncontent-length:\s*(\d+)", head)
        length = int(m.group(1)) if m else 0
        while len(rest) < length:
            try:
                data = conn.recv(65536)
            except socket.timeout:
                if self.stop.is_set():
                    return None
                continue
            if not data:
                return None
            rest += data
        pending[0] = rest[length:]
        self.requests += 1
        return head, rest[:length]

    def send_for_ever(self, conn, first, more):
        conn.sendall(first)
        while not self.stop.is_set():
            conn.sendall(more)


def message_of(body):
    try:
        return json.loads(body)[0]
    except (ValueError, IndexError, KeyError, TypeError):
        return {}


def is_update(message):
    return message.get("channel") == "/service/velquin/commands"


def sound_answer(message, with_id=True):
    ack = {"channel": message.get("channel"), "clientId": "c-1", "successful": True}
    if with_id:
        ack["id"] = message.get("id")
    answer = [ack]
    if is_update(message):
        answer.append({"channel": "/velquin/settings", "data": {"path": "$", "value": CONFIG}})
    return json.dumps(answer).encode()


def reply(body, status=b"200 OK", kind=b"application/json", extra=b""):
    return (b"HTTP/1.1 " + status + b"\r\nContent-Type: " + kind + b"\r\nContent-Length: "
            + str(len(body)).encode() + b"\r\n" + extra + b"\r\n" + body)


def bayeux(answer):
    """A device that answers each request with answer(message) (bytes to write)."""

    def handler(device, conn):
        pending = [b""]
        while True:
            request = device.read_request(conn, pending)
            if request is None:
                return
            out = answer(message_of(request[1]))
            if out is None:
                return
            conn.sendall(out)

    return handler


def on_update(hostile):
    return bayeux(lambda m: hostile(m) if is_update(m) else reply(sound_answer(m)))


def huge_length(device, conn):
    pending = [b""]
    if device.read_request(conn, pending):
        device.send_for_ever(conn, b"HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\n[", ZEROS)


def endless_chunks(device, conn):
    pending = [b""]
    if device.read_request(conn, pending):
        chunk = b"%x\r\n" % len(ZEROS) + ZEROS + b"\r\n"
        device.send_for_ever(conn, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\n[\r\n",
                             chunk)


def flood_requests(device, conn):
    # Requests to the client, whose 404s are never read; 30 s of it at most.
    request = b"GET /x HTTP/1.1\r\nHost: a\r\n\r\n" * 256
    end = time.monotonic() + 30
    conn.settimeout(5)
    while time.monotonic() < end and not device.stop.is_set():
        conn.sendall(request)


def huge_request(device, conn):
    device.send_for_ever(conn, b"POST /x HTTP/1.1\r\nContent-Length: 2147483647\r\n\r\n", ZEROS)


def endless_chunked_request(device, conn):
    chunk = b"%x\r\n" % len(ZEROS) + ZEROS + b"\r\n"
    device.send_for_ever(conn, b"POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", chunk)


def nested(levels, inner):
    return b"[" * levels + inner + b"]" * levels


def twice(m):
    one = reply(sound_answer(m))
    return one + one


def refusal(interval):
    return lambda m: reply(json.dumps([{"id": m.get("id"), "successful": False,
                                        "advice": {"reconnect": "retry", "interval": interval}}]).encode())


def web_service(status, page, close):
    def answer(m):
        extra = b"Connection: close\r\n" if close else b""
        out = (b"HTTP/1.0 " if close else b"HTTP/1.1 ") + status + b"\r\nContent-Type: text/html\r\n" + extra
        out += (b"\r\n" + page) if close else b"Content-Length: " + str(len(page)).encode() + b"\r\n\r\n" + page
        return out

    def handler(device, conn):
        pending = [b""]
        request = device.read_request(conn, pending)
        if request is None:
            return
        conn.sendall(answer(message_of(request[1])))
        if not close:
            bayeux(answer)(device, conn)

    return handler


PAGE = (b"<html><head><title>Error</title></head><body>\x1b[31m<h1>Not here</h1>"
        + b"<p>" + b"x" * 2000 + b"</p></body></html>")

# name, handler, status expected when the program does right ("0|2": an answer or none may
# both be right), whether a printed refusal counts as the answer
ATTACKS = [
    ("sound device (peer)", bayeux(lambda m: reply(sound_answer(m))), "0"),
    ("Content-Length 2147483647 of zeros", huge_length, "2"),
    ("endless chunked reply", endless_chunks, "2"),
    ("requests to the client, 404s never read", flood_requests, "2"),
    ("request to the client with a 2 GiB body", huge_request, "2"),
    ("endless chunked request to the client", endless_chunked_request, "2"),
    ("990 arrays around 100,000 zeros", on_update(lambda m: reply(nested(990, b"0," * 99999 + b"0"))), "2"),
    ("nested deeper than 1000 levels", on_update(lambda m: reply(nested(1500000, b"0"))), "2"),
    ("comments holding ESC/BEL", on_update(lambda m: reply(sound_answer(m).replace(
        b'"ios": {', b'"ios": /* \x1b]0;pwned\x07 */ {').replace(
        b'"sessions"', b'// \x1b[31mDEVICE SAYS: curl x|sh\x07\n"sessions"') + b"// tail\n")), "0|2"),
    ("two replies to each request", bayeux(twice), "0|2"),
    ("100 Continue before each reply", bayeux(lambda m: b"HTTP/1.1 100 Continue\r\n\r\n" + reply(sound_answer(m))), "0|2"),
    ("204 before each reply", bayeux(lambda m: reply(b"", b"204 No Content") + reply(sound_answer(m))), "0|2"),
    # Within every limit: 30 levels around 99,900 texts of 40 bytes (4.0 MiB), all printed.
    ("largest answer the limits let through", on_update(lambda m: reply(
        b'[{"id":"' + m.get("id", "").encode() + b'","successful":true},'
        + nested(29, b",".join([b'"' + b"x" * 38 + b'"'] * 99900)) + b"]")), "0|2"),
    ("every publish refused: retry, interval 0", on_update(refusal(0)), "0|2"),
    ("every publish refused: retry, interval 2^31-1", on_update(refusal(2147483647)), "0|2"),
    ("another web service answering 404", web_service(b"404 Not Found", PAGE, False), "2"),
    ("plain web server answering 501 in HTML", web_service(b"501 Not Implemented", PAGE, True), "2"),
]


TIME = "/usr/bin/time"


def child_of(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            words = f.read().split()
        return int(words[0]) if words else None
    except OSError:
        return None


def peak_rss_mib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return 0.0


def run(program, port, limit):
    # GNU time reports the program's own peak RSS (a child forked from this interpreter would
    # count the interpreter's memory as its own); /proc is sampled meanwhile to kill early.
    command = [program, "-H", "127.0.0.1", "-P", str(port), "-c"]
    timed = os.access(TIME, os.X_OK)
    report = "/tmp/hostile_device_rss.%d" % os.getpid()
    if timed:
        command = [TIME, "-f", "%M", "-o", report] + command
    start = time.monotonic()
    proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, start_new_session=True)
    out, err = bytearray(), bytearray()
    written = {"out": 0}

    def drain(stream, into, count=None):
        # Everything is counted; the first 64 MiB are kept for the checks.
        for block in iter(lambda: stream.read(65536), b""):
            if count:
                written[count] += len(block)
            if len(into) < (64 << 20):
                into += block

    threads = [threading.Thread(target=drain, args=(proc.stdout, out, "out"), daemon=True),
               threading.Thread(target=drain, args=(proc.stderr, err), daemon=True)]
    for t in threads:
        t.start()
    killed = ""
    peak = 0.0
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        program_pid = child_of(proc.pid) if timed else proc.pid
        if program_pid:
            peak = max(peak, peak_rss_mib(program_pid))
        if peak > RSS_KILL_MIB:
            killed = "killed past %d MiB" % RSS_KILL_MIB
        elif time.monotonic() - start > limit:
            killed = "killed after %d s" % limit
        if killed:
            os.killpg(proc.pid, signal.SIGKILL)
            _, status, usage = os.wait4(proc.pid, 0)
            break
        time.sleep(0.02)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if timed:
        try:
            with open(report) as f:
                lines = f.read().split()
            if lines and lines[-1].isdigit():
                peak = max(peak, int(lines[-1]) / 1024.0)
            if lines and lines[0] == "Command":  # "Command exited with non-zero status N"
                proc.returncode = int(lines[-2]) if lines[-2].isdigit() else proc.returncode
        except OSError:
            pass
        finally:
            if os.path.exists(report):
                os.remove(report)
    wall = time.monotonic() - start
    for t in threads:
        t.join()
    if not timed:
        peak = max(peak, usage.ru_maxrss / 1024.0)
    code = proc.returncode
    return peak, wall, code, bytes(out), written["out"], bytes(err), killed


def foreign(out):
    """Whether standard output holds something other than the configuration, null, nothing
    or the device's refusal of the configuration request."""
    text = out.strip()
    if text in (b"", b"null"):
        return False
    try:
        value = json.loads(text)
    except (ValueError, RecursionError):
        return True
    if value == CONFIG:
        return False
    if isinstance(value, list) and value and value[0].get("successful") is True and len(value) == 2:
        return False  # the acknowledgement and the data the device chose to send
    return not (isinstance(value, list) and value and isinstance(value[-1], dict)
                and value[-1].get("successful") is False and "advice" in value[-1])


def main():
    program = sys.argv[1]
    limit = float(sys.argv[2]) if len(sys.argv) > 2 else 200
    print("goals: peak RSS <= %d MiB, over within %d s, status 2 when no usable answer came, "
          "no ESC/BEL on stdout, never another exchange's answer" % (RSS_GOAL_MIB, TIME_GOAL_S))
    print("%-46s %9s %6s %8s %6s %10s %7s %7s  %s" % (
        "attack", "RSS MiB", "xpeer", "wall s", "status", "stdout B", "ESC/BEL", "foreign", "verdict"))
    base = None
    missed = runs = 0
    only = sys.argv[3] if len(sys.argv) > 3 else ""
    for name, handler, expected in ATTACKS:
        if only and only not in name and base is not None:
            continue
        device = Device(handler)
        try:
            peak, wall, code, out, out_bytes, err, killed = run(program, device.port, limit)
        finally:
            device.close()
        base = base or peak
        runs += 1
        escapes = b"\x1b" in out or b"\x07" in out
        alien = foreign(out)
        answered = out.strip() not in (b"", b"null")
        status_ok = (code == 0 and answered) or code == 2 if expected == "0|2" else str(code) == expected
        reasons = []
        if peak > RSS_GOAL_MIB:
            reasons.append("RSS")
        if wall > TIME_GOAL_S or killed:
            reasons.append(killed or "time")
        if not status_ok:
            reasons.append("status")
        if escapes:
            reasons.append("ESC/BEL")
        if alien:
            reasons.append("foreign answer")
        missed += bool(reasons)
        print("%-46s %9.1f %6.2f %8.2f %6s %10d %7s %7s  %s" % (
            name, peak, peak / base, wall, code if not killed else "kill", out_bytes,
            "yes" if escapes else "no", "yes" if alien else "no",
            "MET" if not reasons else "MISSED (" + ", ".join(reasons) + ")"))
        last = err.decode("utf-8", "replace").strip().splitlines()[-1:] if err else []
        if last:
            print("%-46s stderr ends: %s" % ("", last[0][:110].encode("unicode_escape").decode()))
    print("%d of %d runs miss a goal" % (missed, runs))


if __name__ == "__main__":
    main()
