#!/usr/bin/env python3
"""A scripted browser extension: starts the bridge on pipes, as a browser does, and prints
a timeline of what crosses each boundary."""
import json
import os
import struct
import subprocess
import sys
import time

bridge, home, work = sys.argv[1], sys.argv[2], sys.argv[3]
link_path = os.path.join(home, "Library", "Application Support", "Quillbeam", "browser-link.json")
t0 = time.monotonic()


def say(arrow, text):
    print(f"{(time.monotonic() - t0) * 1000:8.1f} ms  {arrow:<22} {text}", flush=True)


def frame(obj):
    body = json.dumps(obj, separators=(",", ":")).encode()
    return struct.pack("<I", len(body)) + body


def read_frame(stream):
    header = stream.read(4)
    if len(header) < 4:
        return None
    (n,) = struct.unpack("<I", header)
    return stream.read(n).decode()


def show_link(label):
    with open(link_path) as f:
        say("bridge -> file", f"{label}: {f.read()}")


proc = subprocess.Popen(
    [bridge, "chrome-extension://anaamofdcieamnmnkhkdbgikgmcpncak/"],
    stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=dict(os.environ, HOME=home))
say("browser", f"started the bridge, pid {proc.pid}")

hello = {"type": "hello", "protocol": 1, "extensionVersion": "1.4.0"}
proc.stdin.write(frame(hello)); proc.stdin.flush()
say("extension -> bridge", json.dumps(hello))
say("bridge -> extension", read_frame(proc.stdout))
show_link("after hello")

now = int(time.time() * 1000)
session = {"id": "demo-1", "goal": "Finish the lab report", "mode": "timer", "strictness": "strict",
           "startedAt": now, "endsAt": now + 25 * 60 * 1000, "milestonesDone": 0,
           "milestonesTotal": 0, "anchors": ["wikipedia.org"], "anchorUrl": "https://wikipedia.org/"}
state = {"type": "state", "sentAt": now, "session": session}
proc.stdin.write(frame(state)); proc.stdin.flush()
say("extension -> bridge", f"state with session {session['id']!r}")

marker = os.path.join(work, "companion-started")
for _ in range(500):
    if os.path.exists(marker):
        break
    time.sleep(0.01)
say("bridge -> companion", "stand-in companion started by D-Bus activation"
    if os.path.exists(marker) else "companion NOT started")
show_link("after state")

command = '{"type":"app-blocked","app":"Steam"}'
subprocess.run(["gdbus", "emit", "--session", "--object-path", "/com/quillbeam/companion",
                "--signal", "com.quillbeam.companion.command", "{'json': <'%s'>}" % command],
               check=True)
say("companion -> bus", f"command {command}")
say("bridge -> extension", read_frame(proc.stdout))

proc.stdin.close()
say("extension", "closed the port (end of input)")
status = proc.wait(timeout=10)
say("bridge", f"exited with status {status}")
show_link("after end of input")
