#!/usr/bin/python3
"""The kiosk machine of the virtual-machine test switched off hard (QEMU killed) while it
pulls a new show, then switched on again: whether it shows the old show or the new one, whole.
Each cut comes in the middle of a pull of a full-size show (fourteen pictures at 1920x1080,
the background and the music) that replaces a small one (three pictures): once the pull's
folder holds a random number of the new pictures, or with --after-swap once the new show is in
place.

usage: vm_power_cut.py [--cuts N] [--seed N] [--after-swap] [BUILD_DIR]
  (defaults: 3 cuts, build/)"""
import argparse, hashlib, os, random, shutil, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import vm_test  # noqa: E402

SMALL = {"2005_001.jpg": 2, "2005_003.jpg": 7, "2006_002.jpg": 5}
# The demo's pictures backwards, each stretched to the screen's size.
FULL = {name: 13 - i for i, name in enumerate(vm_test.PICTURES)}


def offer(run, demo, pictures, stretch):
    """The source's show, and what each of its files must hold on the machine."""
    vm_test.serve(run, demo, pictures)
    images = os.path.join(run, "source", "images")
    if stretch:
        for name in os.listdir(images):
            path = os.path.join(images, name)
            subprocess.run(["convert", path, "-scale", "1920x1080!", "BMP3:" + path], check=True)
    sums = {}
    for part in ("images", "music"):
        for name in os.listdir(os.path.join(run, "source", part)):
            data = open(os.path.join(run, "source", part, name), "rb").read()
            sums[part + "/" + name] = hashlib.md5(data).hexdigest()
    return sums


def held(machine):
    """What the kiosk's show folder holds: file to its sum."""
    out = machine.sh("cd /var/lib/showreel-kiosk/show && md5sum images/* music/*", 120) or ""
    return {f: s for s, f in (line.split() for line in out.splitlines() if len(line.split()) == 2)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cuts", type=int, default=3)
    ap.add_argument("--seed", type=int, default=int(time.time()))
    ap.add_argument("--after-swap", action="store_true")
    ap.add_argument("build", nargs="?", default=os.path.join(HERE, "..", "build"))
    args = ap.parse_args()
    random.seed(args.seed)
    print("seed", args.seed, flush=True)
    build = os.path.abspath(args.build)
    demo = os.path.join(build, "demo-set")
    img = vm_test.packaged(shutil.which("cpack"), os.path.join(build, "CPackConfig.cmake"))
    run = tempfile.mkdtemp(prefix="showreel-cut-")
    machine, _, _ = vm_test.switch_on(img, run)
    viewer = vm_test.Viewer(demo)
    try:
        assert machine.await_shell(600)
        for cut in range(args.cuts):
            # The small show in place, then the full one pulled and the power cut.
            small = offer(run, demo, SMALL, False)
            vm_test.pull_from_serve(machine)
            while held(machine) != small:
                time.sleep(1)
            full = offer(run, demo, FULL, True)
            target = random.randint(1, 14)
            shown = machine.sh("stat -c %i /var/lib/showreel-kiosk/show")
            start = time.time()
            vm_test.pull_from_serve(machine)
            while True:
                if args.after_swap:
                    if machine.sh("stat -c %i /var/lib/showreel-kiosk/show") != shown:
                        break
                elif int(machine.sh("ls /var/lib/showreel-kiosk/.show.new/images 2>/dev/null | "
                                    "wc -l") or 0) >= target:
                    break
            at = time.time() - start
            machine.stop()
            machine, _, _ = vm_test.switch_on(img, run)
            seen, ok = viewer.watch(machine, 900, lambda p, bg: bg and p in (None, 0))
            assert machine.await_shell(300)
            now = held(machine)
            left = machine.sh("ls /var/lib/showreel-kiosk/.show.new/images 2>/dev/null | wc -l")
            outcome = ("the old show, whole" if now == small else "the new show, whole"
                       if now == full else "NEITHER the old show nor the new one: %s" % now)
            print("cut %d %.1f s into the pull, %s: %s; on the screen %s; %s "
                  "pictures left in the pull's folder" %
                  (cut + 1, at, "after the swap" if args.after_swap else
                   "%d pictures in" % target, outcome, seen, left), flush=True)
    finally:
        machine.stop()
        print("serial console, screens and capture in", run)


if __name__ == "__main__":
    main()
