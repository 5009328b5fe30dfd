"""The README's commands, taken from the README itself and run as a reader runs them.

  python3 -m stages.readme_commands --show NAME   print the command block NAME
  python3 -m stages.readme_commands --venv        print the virtual environment the test block makes
  python3 -m stages.readme_commands build          run the packages and build blocks in a fresh clone

A block is the fenced code block after a line `<!-- run: NAME -->`; the build block's line also says
how the run ends: `<!-- run: build, ends with status 1 and "TEXT" or "OTHER TEXT" -->` (where the code
host does not answer, as in CI, and where it does). The build runs in a fresh clone of HEAD with
Debian's own /usr/bin/python3 first on PATH, a home folder of its own and no standard input; it must
end that way and leave the clone as it was.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from tooling import plain

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
MARK = re.compile(r'^<!-- run: (?P<name>[\w-]+)(?:, ends with status (?P<status>\d+) and (?P<texts>"[^"]+"(?: or "[^"]+")*))? -->$')
# What a reader's shell does not carry: this machine's interpreters and the caller's environments.
DROPPED = re.compile(r"PYTHON.*|PYENV.*|VIRTUAL_ENV|CONDA.*|PIP_BREAK_SYSTEM_PACKAGES")


def log(text):
    print(f"readme-commands: {text}", flush=True)


def blocks(text):
    """{name: (command text, expected status or None, the texts one of which the output must hold)} of
    the README."""
    found, lines = {}, text.splitlines()
    for i, line in enumerate(lines):
        mark = MARK.match(line.strip())
        if not mark:
            continue
        fence = next(j for j in range(i + 1, len(lines)) if lines[j].startswith("```"))
        end = next(j for j in range(fence + 1, len(lines)) if lines[j].startswith("```"))
        status = mark["status"] and int(mark["status"])
        texts = re.findall(r'"([^"]+)"', mark["texts"] or "")
        found[mark["name"]] = ("\n".join(lines[fence + 1:end]) + "\n", status, texts)
    return found


def state(clone):
    """What git sees in the clone, ignored files included."""
    return subprocess.run(["git", "-C", str(clone), "status", "--porcelain", "--ignored", "--untracked-files=all"],
                          capture_output=True, text=True, check=True).stdout


def without_sudo(command):
    """`command` as root runs it where there is no sudo (a container, a fresh system)."""
    return re.sub(r"(?<![\w-])sudo\s+", "", command)


def run_build(found):
    packages, _, _ = found["packages"]
    build, status, texts = found["build"]
    if os.geteuid() == 0 and not shutil.which("sudo"):
        packages = without_sudo(packages)
    scratch = Path(tempfile.mkdtemp(prefix="tq_velmor-readme-"))
    try:
        clone, home = scratch / "tq_velmor", scratch / "home"
        home.mkdir()
        subprocess.run(["git", "clone", "-q", str(ROOT), str(clone)], check=True, stdin=subprocess.DEVNULL)
        before = state(clone)
        env = {name: value for name, value in os.environ.items() if not DROPPED.fullmatch(name)}
        env.update(HOME=str(home), PATH="/usr/bin:/bin:/usr/sbin:/sbin")
        python = subprocess.run(["python3", "--version"], env=env, capture_output=True, text=True).stdout.strip()
        log(f"in a fresh clone of HEAD, with {shutil.which('python3', path=env['PATH'])} ({python}) first on PATH")

        def run(name, command):
            log(f"{name}: {command.strip()}")
            result = subprocess.run(["bash", "-c", command], cwd=clone, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            return result.returncode, result.stdout.decode("utf-8", "replace")

        returncode, output = run("packages", packages)
        if returncode:
            log(f"FAILED: the packages block exited with status {returncode}:\n{output[-3000:]}")
            return 1
        returncode, output = run("build", build)
        shown = plain(output)  # without the screens' colours
        tail = [line for line in shown.strip().splitlines() if line.strip()][-2:]
        log(f"build: status {returncode}; it ended with: {' | '.join(tail)}")
        problems = []
        if returncode != status or not any(text in shown for text in texts):
            problems.append(f"expected status {status} and one of {texts}, as the README says")
        if state(clone) != before:
            problems.append(f"the clone changed:\n{state(clone)}")
        if problems:
            log("FAILED: " + "; ".join(problems) + f"\n{output[-3000:]}")
            return 1
        log("the README's build command ends as the README says; the clone is as it was")
        return 0
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--show", metavar="NAME", help="print the block NAME and stop")
    parser.add_argument("--venv", action="store_true", help="print the test block's virtual environment and stop")
    parser.add_argument("run", nargs="?", choices=["build"])
    args = parser.parse_args(argv)
    found = blocks(README.read_text(encoding="utf-8"))
    missing = {"packages", "build", "test"} - set(found)
    if missing or found["build"][1] is None:
        log(f"FAILED: README.md lacks the blocks {sorted(missing)} or the build block's ending")
        return 1
    if args.venv:
        made = re.search(r"python3 -m venv (\S+)", found["test"][0])
        if not made:
            log("FAILED: the README's test block makes no virtual environment")
            return 1
        print(os.path.expanduser(made[1]))
        return 0
    if args.show:
        if args.show not in found:
            log(f"FAILED: README.md has no block {args.show!r}")
            return 1
        sys.stdout.write(found[args.show][0])
        return 0
    return run_build(found)


if __name__ == "__main__":
    sys.exit(main())
