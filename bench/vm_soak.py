#!/usr/bin/python3
"""The kiosk machine of the virtual-machine test, watched for hours and disturbed as a real one
is: the host's CPU busy in bursts (two CPU hogs, which starve the emulated machine), the show
stopped for 1 to 3 s at random moments (SIGSTOP, then SIGCONT: the sound card runs dry), and
the kiosk restarted now and then. Reports every start of the show with its cause from the
machine's journal, the share of time that the sound card's output sounds outside the stops and
restarts, how many sampled screens show the show, and the show's resident size over time.
The report is rewritten every ten minutes, so an interrupted soak still leaves its figures.

usage: vm_soak.py [--minutes N] [--seed N] [--report FILE] [BUILD_DIR]
  (defaults: 120 minutes, a seed from the clock, bench/VM_SOAK.md, build/)"""
import argparse, os, random, re, shutil, subprocess, sys, tempfile, time
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import vm_test  # noqa: E402

WINDOW = 0.1  # seconds of sound judged at a time
LOUD = 300  # RMS of a window that sounds; the demo's bass never stops


class Card:
    """The sound card's output, as the WAV file that QEMU writes it into grows."""

    def __init__(self, path):
        self.path, self.offset, self.rate, self.channels = path, 44, 0, 0
        self.loud = []  # per window

    def position(self):
        """Seconds of sound written so far."""
        self._header()
        size = os.path.getsize(self.path) - 44
        return size / (2 * self.channels * self.rate) if self.rate else 0.0

    def _header(self):
        if not self.rate and os.path.getsize(self.path) >= 44:
            head = open(self.path, "rb").read(44)
            self.channels = int.from_bytes(head[22:24], "little")
            self.rate = int.from_bytes(head[24:28], "little")

    def read(self):
        self._header()
        if not self.rate:
            return
        frame = 2 * self.channels
        step = int(WINDOW * self.rate) * frame
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        whole = len(data) // step * step
        if whole:
            pcm = np.frombuffer(data[:whole], np.int16).astype(float).reshape(-1, step // 2)
            self.loud += list(np.sqrt((pcm ** 2).mean(axis=1)) > LOUD)
            self.offset += whole

    def share(self, excluded):
        """Sounding windows over all windows outside the excluded spans (in seconds)."""
        keep = np.ones(len(self.loud), bool)
        for a, b in excluded:
            keep[int(a / WINDOW):int(b / WINDOW) + 1] = False
        loud = np.array(self.loud, bool)
        return int(loud[keep].sum()), int(keep.sum())


def starts(journal):
    """Every start of the show in the journal, with the cause of the stop before it: of the
    lines between two starts, the one that says most (a watchdog's kill, for one, ends with
    SIGABRT too)."""
    rank = ["unknown", "failure", "crash", "fatal error", "abort", "watchdog", "requested"]
    found, cause, line = [], "power-on", ""

    def seen(what, text):
        nonlocal cause, line
        if cause == "power-on" or rank.index(what) > rank.index(cause):
            cause, line = what, text

    for text in journal.splitlines():
        status = re.search(r"status=(\d+)", text)
        if "Stopping showreel-kiosk.service" in text:
            seen("requested", text)
        elif "Watchdog timeout" in text:
            seen("watchdog", text)
        elif "Assertion" in text or (status and status.group(1) in ("6", "134")):
            seen("abort", text)
        elif "panic:" in text or (status and status.group(1) == "2"):
            seen("fatal error", text)
        elif "code=dumped" in text or "code=killed" in text or (
                status and int(status.group(1)) > 128):
            seen("crash", text)
        elif "Failed with result" in text:
            seen("failure", text)
        elif "Started showreel-kiosk.service" in text:
            found.append((re.match(r"\[\s*([\d.]+)\]", text).group(1), cause, line))
            cause, line = "unknown", ""
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--minutes", type=float, default=120)
    ap.add_argument("--seed", type=int, default=int(time.time()))
    ap.add_argument("--report", default=os.path.join(HERE, "VM_SOAK.md"))
    ap.add_argument("build", nargs="?", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    rng = random.Random(args.seed)
    build = os.path.abspath(args.build)
    img = vm_test.packaged(shutil.which("cpack"), os.path.join(build, "CPackConfig.cmake"))
    run = tempfile.mkdtemp(prefix="showreel-soak-")
    machine, kvm, _ = vm_test.switch_on(img, run)
    viewer = vm_test.Viewer(os.path.join(build, "demo-set"))
    card = Card(machine.wav)
    hogs, excluded, rss, shots = [], [], [], [0, 0]
    stops = restarts = bursts = 0
    hogged = 0.0
    began = time.time()

    def report(final):
        journal = machine.sh("journalctl -b -u showreel-kiosk -o short-monotonic | grep -E "
                             "'Started showreel-kiosk|Stopping showreel-kiosk|Watchdog timeout|Assertion|"
                             "status=|panic:|Failed with result|repeated too quickly'", 120) or ""
        found = starts(journal)
        card.read()
        loud, total = card.share(excluded)
        lines = ["# The kiosk machine soaked", "",
                 "`bench/vm_soak.py --minutes %g --seed %d`, %s, %s, %.0f minutes%s." %
                 (args.minutes, args.seed, "KVM" if kvm else "TCG", time.strftime("%Y-%m-%d"),
                  (time.time() - began) / 60, "" if final else " so far (running)"),
                 "Disturbances: %d stops of the show (1 to 3 s), %d restarts of the kiosk, %d "
                 "bursts of two CPU hogs on the host, %.0f minutes in all." %
                 (stops, restarts, bursts, hogged / 60), "",
                 "## Starts of the show", "",
                 "| seconds after boot | cause | journal line |", "|---|---|---|"]
        lines += ["| %s | %s | `%s` |" % (t, c, l.replace("|", "/")[:160]) for t, c, l in found]
        unasked = [c for _, c, _ in found if c not in ("power-on", "requested")]
        lines += ["", "Starts that the soak did not ask for: **%d**%s." % (
            len(unasked), "" if not unasked else " (%s)" % ", ".join(sorted(set(unasked)))), "",
            "## Sound", "",
            "The card's output sounds in %d of %d windows of %g s outside the stops and "
            "restarts (each with a margin): **%.4f**." % (loud, total, WINDOW,
                                                          loud / total if total else 0), "",
            "## Screen", "",
            "%d of %d sampled screens show the show (a picture at the centre or the "
            "background), outside the restarts." % (shots[0], shots[1]), "",
            "## Resident size of the show", "", "| minutes | process | KiB |", "|---|---|---|"]
        step = max(1, len(rss) // 24)
        lines += ["| %.0f | %s | %s |" % r for r in rss[::step]]
        first = {}
        for _, pid, kib in rss:
            first.setdefault(pid, kib)
        growth = ["%s: %d → %d KiB over %d samples" % (
            pid, first[pid], [k for _, p, k in rss if p == pid][-1],
            len([1 for _, p, _ in rss if p == pid])) for pid in first]
        lines += ["", "Per process, first and last: " + "; ".join(growth) + "."]
        with open(args.report, "w") as f:
            f.write("\n".join(lines) + "\n")
        print("\n".join(lines), flush=True)
        return unasked

    try:
        _, up = viewer.watch(machine, 900, lambda p, bg: p is not None)
        vm_test.check(up and machine.await_shell(300), "the show after power-on")
        excluded.append((0, card.position() + 5))
        end = time.time() + args.minutes * 60
        next_stop = time.time() + rng.uniform(60, 240)
        next_restart = time.time() + rng.uniform(600, 1500)
        next_hogs = time.time() + rng.uniform(60, 600)
        next_rss = next_report = time.time()
        while time.time() < end:
            t = time.time()
            if t >= next_hogs:
                if hogs:
                    for h in hogs:
                        h.kill()
                        h.wait()
                    hogs, next_hogs = [], t + rng.uniform(120, 600)
                else:
                    hogs = [subprocess.Popen(["sh", "-c", "while :; do :; done"])
                            for _ in range(2)]
                    bursts += 1
                    length = rng.uniform(120, 600)
                    hogged += min(length, end - t)
                    next_hogs = t + length
            if t >= next_stop:
                stopped, seconds = card.position(), rng.uniform(1, 3)
                machine.sh("pkill -STOP -x showreel; sleep %.1f; pkill -CONT -x showreel" %
                           seconds)
                excluded.append((stopped, card.position() + 1))
                stops += 1
                next_stop = time.time() + rng.uniform(60, 240)
            if t >= next_restart:
                stopped = card.position()
                machine.sh("systemctl restart showreel-kiosk", 600)
                viewer.watch(machine, 300, lambda p, bg: p is not None)
                excluded.append((stopped, card.position() + 3))
                restarts += 1
                next_restart = time.time() + rng.uniform(600, 1500)
            if t >= next_rss:
                for pid, kib in re.findall(r"^\s*(\d+)\s+(\d+)\s*$", machine.sh(
                        "ps -o pid=,rss= -C showreel") or "", re.M):
                    rss.append(((time.time() - began) / 60, pid, int(kib)))
                next_rss = t + 60
            if t >= next_report:
                report(False)
                next_report = t + 600
            picture, background = viewer.look(machine.screen())
            shots[0] += picture is not None or background
            shots[1] += 1
            card.read()
            time.sleep(4)
        unasked = report(True)
    finally:
        for h in hogs:
            h.kill()
        machine.stop()
    print("serial console, screens and capture in", run)
    return 1 if unasked or vm_test.failures else 0


if __name__ == "__main__":
    sys.exit(main())
