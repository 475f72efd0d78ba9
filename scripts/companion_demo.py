#!/usr/bin/env python3
"""A scripted extension driving a strict focus session through the real bridge, and what the
companion does to a stand-in Discord meanwhile, printed as a timeline. Run by
scripts/companion-demo.sh, which made the cgroup tree, the private bus and the environment
(HOME, XDG_RUNTIME_DIR, XDG_CONFIG_HOME, DBUS_SESSION_BUS_ADDRESS) this runs in."""
import json
import os
import select
import signal
import struct
import subprocess
import sys
import time

build, root, work = sys.argv[1], sys.argv[2], sys.argv[3]
manager = os.path.join(root, "user.slice/user-0.slice/user@0.service")
discord = os.path.join(manager, "app.slice/app-flatpak-com.discordapp.Discord-4242.scope")
companion = os.path.join(manager, "session.slice/quillbeam-companion.service")
cli = os.path.join(build, "tools/quillbeam")
record = os.path.join(os.environ["XDG_RUNTIME_DIR"], "quillbeam/paused.json")
t0 = time.monotonic()
# The shell stops this script with SIGTERM on Ctrl-C: end as on any exit, bridge included.
signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))


def say(arrow, text):
    print(f"{(time.monotonic() - t0) * 1000:8.1f} ms  {arrow:<22} {text}", flush=True)


def fail(why):
    say("demo", f"FAILED: {why}")
    log = os.path.join(work, "companion.log")
    print("The companion's log:\n" + (read_text(log) or "(none: it never started)\n"), end="",
          file=sys.stderr)
    sys.exit(1)


def until(done, what, seconds=15):
    deadline = time.monotonic() + seconds
    while not done():
        if time.monotonic() > deadline:
            fail(f"no {what} after {seconds} s")
        time.sleep(0.005)


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def pids(cgroup):
    return [int(p) for p in read_text(os.path.join(cgroup, "cgroup.procs")).split()]


def first_pid(cgroup, what):
    found = []
    until(lambda: found.extend(pids(cgroup)) or found, what)
    return found[0]


def frozen():
    return "frozen 1" in read_text(os.path.join(discord, "cgroup.events"))


def show_discord():
    # A frozen task still reads as sleeping; its wait channel shows the freezer holding it.
    pid = pids(discord)[0]
    state = next(l for l in read_text(f"/proc/{pid}/status").splitlines() if l.startswith("State:"))
    events = read_text(os.path.join(discord, "cgroup.events")).splitlines()
    say("kernel", f"cgroup.events: {next(l for l in events if l.startswith('frozen'))}; "
        f"/proc/{pid}: {state.split(None, 1)[1]}, "
        f"wchan {read_text(f'/proc/{pid}/wchan')}")


def frame(obj):
    body = json.dumps(obj, separators=(",", ":")).encode()
    return struct.pack("<I", len(body)) + body


def read_frame(stream, seconds=15):
    data = b""
    deadline = time.monotonic() + seconds
    while len(data) < 4 or len(data) < 4 + struct.unpack("<I", data[:4])[0]:
        if not select.select([stream], [], [], max(0, deadline - time.monotonic()))[0]:
            fail("message from the bridge in time")
        chunk = os.read(stream.fileno(), 65536)
        if not chunk:
            fail("message: the bridge closed its output")
        data += chunk
    return data[4:].decode()


def send_state(session, what):
    state = {"type": "state", "sentAt": int(time.time() * 1000), "session": session}
    bridge.stdin.write(frame(state))
    bridge.stdin.flush()
    say("extension -> bridge", what)


def run_cli(*arguments):
    out = subprocess.run([cli, *arguments], capture_output=True, text=True)
    say("user", f"$ quillbeam {' '.join(arguments)}   (exit {out.returncode})")
    for line in (out.stdout + out.stderr).splitlines():
        print(f"{'':36}{line}")
    if out.returncode != 0:
        fail(f"quillbeam {arguments[0]} exited with {out.returncode}")


pid = first_pid(discord, "stand-in Discord")
say("desktop", f"Discord (stand-in: sleep, pid {pid}) runs in {os.path.relpath(discord, manager)}")
show_discord()

bridge = subprocess.Popen([os.path.join(build, "bridge/quillbeam_bridge"),
                           "chrome-extension://anaamofdcieamnmnkhkdbgikgmcpncak/"],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE)
try:
    say("browser", f"started the bridge, pid {bridge.pid}")
    hello = {"type": "hello", "protocol": 1, "extensionVersion": "1.4.0"}
    bridge.stdin.write(frame(hello))
    bridge.stdin.flush()
    say("extension -> bridge", json.dumps(hello))
    say("bridge -> extension", read_frame(bridge.stdout))

    now = int(time.time() * 1000)
    session = {"id": "demo-2", "goal": "Finish the lab report", "mode": "timer",
               "strictness": "strict", "startedAt": now, "endsAt": now + 25 * 60 * 1000,
               "milestonesDone": 0, "milestonesTotal": 0, "anchors": ["wikipedia.org"],
               "anchorUrl": "https://wikipedia.org/"}
    send_state(session, "state: a strict 25-minute session begins")
    pid = first_pid(companion, "companion started by D-Bus activation")
    say("bus -> companion", f"companion started by D-Bus activation, pid {pid}, "
        f"in {os.path.relpath(companion, manager)}")
    until(frozen, "pause of Discord")
    say("companion", "paused Discord (froze its cgroup)")
    show_discord()
    say("companion -> file", f"$XDG_RUNTIME_DIR/quillbeam/paused.json: {read_text(record).strip()}")
    say("bridge -> extension", read_frame(bridge.stdout))
    run_cli("apps")

    send_state(dict(session, breakUntil=int(time.time() * 1000) + 5 * 60 * 1000),
               "state: a 5-minute break")
    until(lambda: not frozen(), "resume for the break")
    say("companion", "resumed Discord for the break")
    show_discord()

    send_state(session, "state: back from the break")
    until(frozen, "pause after the break")
    say("companion", "paused Discord again")
    show_discord()

    run_cli("allow", "Discord", "--minutes", "5")
    until(lambda: not frozen(), "resume for the allowance")
    say("companion", "resumed Discord for 5 minutes")
    show_discord()

    send_state(None, "state: the session ends (no session)")
    run_cli("apps")
    until(lambda: not os.path.exists(record) and not frozen(), "end of the pauses")
    say("companion", "nothing paused, nothing in its record")

    stopping = pids(companion)
    for pid in stopping:
        os.kill(pid, signal.SIGTERM)
    say("user", f"SIGTERM to the companion (pid {' '.join(map(str, stopping))})")
    until(lambda: not pids(companion), "end of the companion")
    say("companion", "ended")
    bridge.stdin.close()
    say("extension", "closed the port (end of input)")
    say("bridge", f"exited with status {bridge.wait(timeout=10)}")
finally:
    if bridge.poll() is None:
        bridge.kill()
        bridge.wait()

print("\nThe companion's log (what the journal shows under systemd):")
print("".join(f"{'':36}{line}" for line in open(os.path.join(work, "companion.log"))), end="")
