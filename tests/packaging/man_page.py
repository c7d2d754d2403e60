#!/usr/bin/env python3
"""The man page: formats without a warning, carries the program's version,
and documents every message the program prints.

usage: man_page.py SOURCE_DIR TARNWICK_BINARY VERSION
Exit status 77 (skipped) when groff is not installed.
"""
import pathlib
import re
import shutil
import subprocess
import sys

SKIP = 77

# Messages written other than through log_msg or perror, as they appear in
# the code (a fragment of the format) and in the man page.
OTHER_MESSAGES = [
    "unknown option",              # config reader, on the terminal
    "config file incomplete",
    "too many tunnels: at most",
    "allow must be owner or any",
    "HOME is not set",
    "already runs (pid",
    "overwriting stale pid file",
    "connection closed by proxy",  # the relay's end messages
    "connection closed by client",
    "incomplete write",
    "usage: ",
    "[-fhv] [-c configfile] [-W host:port]",
    "unknown auth-scheme",         # the login's settings, on the terminal
    "needs an auth line",
    "credentials refused",         # a failed login's reasons
    "no auth line in the config",
    "no scheme tarnwick can answer",
    "allows none of them",
    "the proxy closed the connection after its NTLM challenge",
    "the proxy closed the connection between rounds",
    "the proxy closed the connection too often",
    "no new connection to the proxy",
    "malformed NTLM challenge",
    "the proxy sent no NTLM challenge",
    "too many rounds",
    "no answer within 30 seconds",
    "the proxy's answer is too large",
    "the auth line is too long for NTLM",
    "no random bytes for the",
    "the proxy refused the Kerberos ticket",
    "malformed Negotiate token",
    "the proxy closed the connection during the Kerberos login",
    "no Kerberos token, and no auth line for NTLM",
    "negotiate allows none of them",
]

CONVERSION = re.compile(r"%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|z|j|t)?[diouxXcsp]")


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def c_literals(source):
    """The contents of every C string literal in the call, joined."""
    return "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', source))


def program_messages(src_dir):
    """log_msg formats and perror words found in the product code."""
    formats, words = set(), set()
    for path in sorted(src_dir.rglob("*.cpp")):
        code = path.read_text()
        for match in re.finditer(r'\blog_msg\(\s*("(?:[^"\\]|\\.)*"(?:\s*"(?:[^"\\]|\\.)*")*)', code):
            formats.add(c_literals(match.group(1)))
        words.update(re.findall(r'\bperror\(\s*"(\w+)"\s*\)', code))
        # Calls that hand the failed call's name to a helper that reports it.
        words.update(re.findall(r'\bfail_\w+\([^()]*,\s*"(\w+)"\s*\)', code))
    formats.discard("%s")  # the relay's end message, listed in OTHER_MESSAGES
    return formats, words


ROFF_ESCAPES = {r"\-": "-", r"\(rs": "\\", r"\e": "\\", r"\(aq": "'", r"\(lq": '"',
                r"\(rq": '"', r"\(ti": "~", r"\&": ""}


def roff_plain(line):
    """The text a man macro line prints, fonts dropped, white space collapsed."""
    macro, _, rest = line.partition(" ") if line.startswith(".") else ("", "", line)
    args = [a or b for a, b in re.findall(r'"([^"]*)"|(\S+)', rest)] if macro else [rest]
    # .BR, .IR and the like alternate fonts between words that touch.
    text = ("" if len(macro) == 3 else " ").join(args)
    text = re.sub(r"\\f[BIRP]", "", text)
    for escape, plain in ROFF_ESCAPES.items():
        text = text.replace(escape, plain)
    return " ".join(text.split())


def documented_entries(page):
    """What the page lists as items (the tags of .TP paragraphs) and shows in
    its examples (.EX blocks): where a message counts as explained."""
    tags, examples = [], []
    lines = page.read_text().splitlines()
    in_example = False
    for previous, line in zip([""] + lines, lines):
        if line.startswith(".EX"):
            in_example = True
        elif line.startswith(".EE"):
            in_example = False
        elif in_example:
            examples.append(roff_plain(line))
        elif previous.startswith(".TP"):
            tags.append(roff_plain(line))
    return tags, examples


def fragments(format_text):
    """The fixed words of a printf format, white space collapsed."""
    parts = CONVERSION.split(format_text.replace("%%", "%"))
    return [" ".join(p.split()) for p in parts if p.strip()]


def main():
    src_dir, binary, version = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]
    page = src_dir / "man" / "tarnwick.1"
    if shutil.which("groff") is None:
        print("SKIP: groff is not installed (Debian package groff-base)")
        sys.exit(SKIP)

    lint = subprocess.run(["groff", "-man", "-ww", "-z", str(page)], capture_output=True, text=True)
    if lint.returncode != 0 or lint.stderr:
        fail("groff -man -ww -z reports:\n" + lint.stderr)

    licence = (src_dir / "LICENSE").read_text().splitlines()[0]
    if licence != "MIT License" or '.\\" SPDX-License-Identifier: MIT' not in page.read_text().splitlines()[:5]:
        fail(f"the page's SPDX line does not name the licence of LICENSE ({licence!r})")

    header = next((l for l in page.read_text().splitlines() if l.startswith(".TH ")), "")
    if f'"tarnwick {version}"' not in header:
        fail(f"the .TH line does not name tarnwick {version}: {header!r}")
    shown = subprocess.run([binary, "-v"], capture_output=True, text=True)
    if (shown.returncode, shown.stdout, shown.stderr) != (1, "", f"tarnwick {version}\n"):
        fail(f"tarnwick -v gave status {shown.returncode}, stdout {shown.stdout!r}, "
             f"stderr {shown.stderr!r}; the man page documents 'tarnwick {version}'")

    tags, examples = documented_entries(page)
    text = "\n".join(tags + examples)
    tag_items = {item for tag in tags for item in tag.split(", ")}
    formats, words = program_messages(src_dir / "src")
    if len(formats) < 10 or len(words) < 10:
        fail(f"found only {len(formats)} log formats and {len(words)} perror words in the code: "
             "has the way messages are written changed?")
    code = "".join(p.read_text() for p in (src_dir / "src").rglob("*.cpp"))
    missing = []
    for fmt in sorted(formats):
        missing += [f"log line {fmt!r}: {f!r}" for f in fragments(fmt) if f not in text]
    for word in sorted(words):
        if word not in tag_items:
            missing.append(f"system error report {word!r}")
    for message in OTHER_MESSAGES:
        if message not in code:
            fail(f"the code no longer prints {message!r}: update this list and the man page")
        if message not in text:
            missing.append(f"message {message!r}")
    if missing:
        fail("the man page does not document:\n  " + "\n  ".join(missing))
    print(f"ok: {len(formats)} log lines, {len(words)} system error reports and "
          f"{len(OTHER_MESSAGES)} other messages documented")


if __name__ == "__main__":
    main()
