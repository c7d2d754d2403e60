#!/usr/bin/env python3
"""The launchd agent: the README's command fills in contrib/local.tarnwick.plist
and writes it under ~/Library/LaunchAgents; the result is a property list that
runs tarnwick in the foreground with absolute paths, at load, again after a
failure only, and the README's launchctl lines name its path and label.

usage: launchd_agent.py SOURCE_DIR
"""
import pathlib
import plistlib
import re
import shutil
import subprocess
import sys
import tempfile

LABEL = "local.tarnwick"


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def readme_command(readme):
    """The README's code block that writes the filled plist, as one shell text."""
    lines = readme.splitlines()
    start = next((i for i, l in enumerate(lines) if l.startswith("    mkdir -p ~/Library/LaunchAgents")), None)
    if start is None:
        fail("the README has no code block starting with 'mkdir -p ~/Library/LaunchAgents'")
    block = []
    for line in lines[start:]:
        if not line.startswith("    "):
            break
        block.append(line[4:])
    command = "\n".join(block)
    if f"> ~/Library/LaunchAgents/{LABEL}.plist" not in command:
        fail(f"the README's block does not write ~/Library/LaunchAgents/{LABEL}.plist:\n{command}")
    return command


def main():
    src = pathlib.Path(sys.argv[1])
    readme = (src / "README.md").read_text()
    command = readme_command(readme)
    with tempfile.TemporaryDirectory(prefix="tarnwick-launchd.") as scratch:
        scratch = pathlib.Path(scratch)
        home, download = scratch / "home", scratch / "download"
        home.mkdir()
        download.mkdir()
        shutil.copy(src / "contrib" / f"{LABEL}.plist", download)
        run = subprocess.run(["/bin/sh", "-c", "set -e\n" + command], cwd=download, capture_output=True,
                             text=True, env={"HOME": str(home), "PATH": "/usr/bin:/bin"}, timeout=30)
        if run.returncode != 0 or run.stderr:
            fail(f"the README's command (status {run.returncode}): {run.stderr}")
        filled = home / "Library" / "LaunchAgents" / f"{LABEL}.plist"
        text = filled.read_text()
        if "@" in text:
            fail("placeholders left in the filled plist: " + ", ".join(sorted(set(re.findall(r"@\w*@?", text)))))
        agent = plistlib.loads(text.encode())

    binary, config = f"{home}/.local/bin/tarnwick", f"{home}/.config/tarnwick/tarnwick.conf"
    checks = {
        "Label": LABEL,
        "ProgramArguments": [binary, "-f", "-c", config],
        "RunAtLoad": True,
        "KeepAlive": {"SuccessfulExit": False},
        "AbandonProcessGroup": True,
    }
    for key, want in checks.items():
        if agent.get(key) != want:
            fail(f"{key} is {agent.get(key)!r}, expected {want!r}")
    throttle = agent.get("ThrottleInterval")
    if type(throttle) is not int or throttle <= 0:
        fail(f"ThrottleInterval is {throttle!r}, expected a number of seconds")
    for key in ("StandardOutPath", "StandardErrorPath"):
        if not str(agent.get(key, "")).startswith(f"{home}/"):
            fail(f"{key} is {agent.get(key)!r}, expected a path under the home directory")

    for line in (f"launchctl bootstrap gui/$(id -u) ~/Library/LaunchAgents/{LABEL}.plist",
                 f"launchctl bootout gui/$(id -u)/{LABEL}", f"launchctl print gui/$(id -u)/{LABEL}"):
        if f"    {line}" not in readme:
            fail(f"the README does not give '{line}'")
    print(f"ok: the README's command writes an agent that runs {binary} -f -c {config}")


if __name__ == "__main__":
    main()
