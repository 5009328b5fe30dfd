"""What both hosts check the same way: what the program said of its build environment, what the
executable's verbose header lists, and what its -U does when the code host announces a newer
release. `run(arguments, env)` runs the executable (under Wine on Windows) and returns (status,
output text)."""

import hashlib
import re

from tooling import plain
from tq_velmor_host import locks, source

from . import code_host, tree


def environment_run(plain, texts, run):
    """Fills `run` (report.Run) from the program's line on its build environment (made in N s /
    reused (N s)) in its output `plain`; returns the line, or None when it printed none."""

    def pattern(text):
        before, after = text.split("{seconds:.0f}")
        return re.escape(before) + r"(\d+)" + re.escape(after)

    ready = texts.environment_ready.split("{how}")[0]
    found = re.search(re.escape(ready) + f"(?:{pattern(texts.made)}|{pattern(texts.reused)})[^\r\n]*", plain)
    if not found:
        return None
    run.environment = "made" if found[1] else "reused"
    run.pip_seconds = int(found[1] or found[2])
    return found[0]


def expected_libraries(platform):
    """The optional libraries the header must list, as yt-dlp names them (yt_dlp_ejs-0.8.0), with the
    versions the platform's full-featured lock pins."""
    pinned = tree.locked(locks.PLATFORMS[platform][1], tree.LIBRARIES)
    return [f"{name.replace('-', '_')}-{version}" for name, version in pinned.items()]


def header(run, env, platform, result, route, tag):
    """The executable's -v header: the libraries of the lock, the archive's commit, the variant."""
    status, text = run(["-v"], env)
    libraries = re.search(r"^\[debug\] Optional libraries: ([^\r\n]*)", text, re.M)
    version = re.search(r"^\[debug\] yt-dlp version ([^\r\n]*)", text, re.M)
    route.libraries = libraries[1].strip() if libraries else None
    listed = set(route.libraries.split(", ")) if route.libraries else set()
    result.say(f"{tag}-v (status {status}): yt-dlp version {version[1] if version else '?'}; "
               f"optional libraries: {route.libraries}")
    missing = [name for name in expected_libraries(platform) if name not in listed]
    result.check(not missing, f"{tag}the -v header lists no {', '.join(missing)}:\n{text[-2000:]}")
    commit = tree.commit()
    result.check(bool(version) and f"[{commit[:9]}]" in version[1] and source.VARIANT in version[1],
                 f"{tag}the -v header names no commit {commit[:9]} and variant {source.VARIANT!r}:\n{text[-2000:]}")


def update(run, env_for, exe, stage, hint, result, route, tag):
    """`exe -U` with the code host announcing a newer release (a proxy of its own, so that its log is
    this run's): the hint printed, nothing asked of the code host but the release and its update
    spec, and the file as it was."""
    before = hashlib.sha256(exe.read_bytes()).hexdigest()
    with code_host.CodeHost(stage.certificates, stage.answers, tree.SOURCE_URL) as host:
        status, text = run(["-U", "--compat-options", "no-certifi"], env_for(host))
    asked = [line.split(": ")[0].removeprefix("GET ") for line in host.log]
    after = hashlib.sha256(exe.read_bytes()).hexdigest()
    said = next((line.strip() for line in plain(text).splitlines() if "ERROR" in line), "no ERROR line")
    route.update = (f"status {status}, {said!r}; asked {', '.join(url.rsplit('/', 1)[1] for url in asked)}; "
                    f"the file {'unchanged' if before == after else 'CHANGED'}")
    result.say(f"{tag}-U: {route.update}\n{text.strip()}")
    result.check(hint in text, f"{tag}-U did not print the hint {hint!r}")
    result.check(asked == [tree.LATEST_RELEASE_URL, tree.UPDATE_SPEC_URL],
                 f"{tag}-U asked the code host {asked}, expected the latest release and its update spec only")
    result.check(before == after, f"{tag}-U changed {exe.name}")
