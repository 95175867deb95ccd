"""What the QEMU tiers share: a Debian kernel (and, when asked, some of its
modules) fetched once into the build folder, a busybox initramfs holding a
static FixQRV and the sample programs, the guest's report file, and the way
a tier reports itself skipped.

The tiers boot their guest in software emulation (`-accel tcg`): the
machines they run on may have no usable KVM."""

import glob
import gzip
import lzma
import os
import shutil
import struct
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "../e2e"))
from harness import EXAMPLES  # noqa: E402

SKIPPED = 77


class Unavailable(Exception):
    """QEMU, busybox or a kernel cannot be had here: the tier is skipped."""


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs)


def qemu():
    found = shutil.which("qemu-system-x86_64")
    if found is None:
        raise Unavailable("qemu-system-x86_64 missing")
    return found


def fetch_kernel(work, meta_package, members=()):
    """The kernel that `meta_package` depends on, fetched once into `work`:
    its vmlinuz and the files matching `members` (tar patterns), unpacked
    under work/kernel. Returns the vmlinuz."""
    unpacked = os.path.join(work, "kernel")
    found = glob.glob(os.path.join(unpacked, "boot/vmlinuz-*"))
    if found and all(glob.glob(os.path.join(unpacked, m)) for m in members):
        return found[0]
    os.makedirs(work, exist_ok=True)
    try:
        depends = run(["apt-cache", "depends", meta_package]).stdout
        names = [line.split(":", 1)[1].strip() for line in depends.splitlines()
                 if line.strip().startswith("Depends:") and "linux-image-" in line]
        if not names:
            raise Unavailable("no kernel package behind " + meta_package)
        for stale in glob.glob(os.path.join(work, "*.deb")):
            os.remove(stale)
        run(["apt-get", "download", names[0]], cwd=work)
        package = glob.glob(os.path.join(work, "*.deb"))[0]
        shutil.rmtree(unpacked, ignore_errors=True)
        os.makedirs(unpacked)
        # Only what the guest needs: the whole package is some 400 MB unpacked.
        tar = subprocess.Popen(["tar", "-x", "-C", unpacked, "--wildcards", "./boot/vmlinuz-*",
                                *("./" + m for m in members)], stdin=subprocess.PIPE)
        subprocess.run(["dpkg-deb", "--fsys-tarfile", package], stdout=tar.stdin, check=True)
        tar.stdin.close()
        if tar.wait() != 0:
            raise Unavailable("cannot unpack " + package)
        os.remove(package)
    except (OSError, IndexError, subprocess.CalledProcessError) as error:
        raise Unavailable("kernel: %s" % error)
    found = glob.glob(os.path.join(unpacked, "boot/vmlinuz-*"))
    if not found:
        raise Unavailable("the kernel package holds no vmlinuz")
    return found[0]


def module_info(path):
    """The .modinfo fields of a kernel module file (name=value pairs)."""
    data = module_bytes(path)
    shoff, = struct.unpack_from("<Q", data, 40)
    size, count, names_index = struct.unpack_from("<HHH", data, 58)
    sections = [struct.unpack_from("<IIQQQQ", data, shoff + i * size) for i in range(count)]
    names_offset = sections[names_index][4]
    for name, _, _, _, offset, length in sections:
        if data[names_offset + name:].split(b"\0", 1)[0] == b".modinfo":
            fields = data[offset:offset + length].split(b"\0")
            return dict(f.decode().split("=", 1) for f in fields if b"=" in f)
    return {}


def module_bytes(path):
    """A module as insmod takes it: busybox's insmod reads no compressed files."""
    if path.endswith(".ko.xz"):
        return lzma.decompress(open(path, "rb").read())
    if path.endswith(".ko"):
        with open(path, "rb") as f:
            return f.read()
    raise Unavailable("cannot unpack the module " + path)


def module_load_order(folder, wanted):
    """The module files under `folder` for the modules `wanted`, each after
    the modules it depends on (the order of modules.dep, read from each
    module's own depends= field as depmod does)."""
    files = {}
    for path in glob.glob(os.path.join(folder, "**/*.ko*"), recursive=True):
        files[os.path.basename(path).split(".ko")[0].replace("_", "-")] = path
    order = []

    def add(name):
        key = name.replace("_", "-")
        if key not in files:
            raise Unavailable("the kernel package holds no module " + name)
        if files[key] in order:
            return
        for dependency in filter(None, module_info(files[key]).get("depends", "").split(",")):
            add(dependency)
        order.append(files[key])

    for name in wanted:
        add(name)
    return order


def needs_interpreter(path):
    """Whether a 64-bit ELF file names a dynamic loader (a PT_INTERP header)."""
    with open(path, "rb") as f:
        elf = f.read()
    offset, size, count = struct.unpack_from("<Q", elf, 32)[0], *struct.unpack_from("<HH", elf, 54)
    return any(struct.unpack_from("<I", elf, offset + i * size)[0] == 3 for i in range(count))


def initramfs(work, init, files=None, data=None):
    """busybox, the sample programs in /work, `init` as /init, `files`
    (guest path: host path) and `data` (guest path: bytes); gzip'd newc cpio."""
    busybox = "/bin/busybox"
    if not os.path.exists(busybox) or shutil.which("cpio") is None:
        raise Unavailable("busybox-static or cpio missing")
    if needs_interpreter(busybox):  # a dynamic busybox finds no libraries in the guest
        raise Unavailable("busybox is not the static one (busybox-static)")
    root = os.path.join(work, "root")
    shutil.rmtree(root, ignore_errors=True)
    for folder in ("bin", "dev", "proc", "sys", "run", "tmp", "work"):
        os.makedirs(os.path.join(root, folder))
    shutil.copy(busybox, os.path.join(root, "bin/busybox"))
    shutil.copy(init, os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    for name in ("QRV1.BAS", "QRV2.BAS"):
        shutil.copy(os.path.join(EXAMPLES, name), os.path.join(root, "work"))
    for guest, host in (files or {}).items():
        os.makedirs(os.path.dirname(os.path.join(root, guest)), exist_ok=True)
        shutil.copy(host, os.path.join(root, guest))
    for guest, content in (data or {}).items():
        os.makedirs(os.path.dirname(os.path.join(root, guest)), exist_ok=True)
        with open(os.path.join(root, guest), "wb") as f:
            f.write(content)
    listing = run(["find", "."], cwd=root).stdout
    archive = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=root, input=listing.encode(),
                             capture_output=True, check=True).stdout
    path = os.path.join(work, "initramfs.cpio.gz")
    with gzip.open(path, "wb", compresslevel=1) as out:
        out.write(archive)
    return path


def read_report(path):
    """The guest's report: lines "<key> <value>", values of a key in order."""
    report = {}
    with open(path, "rb") as f:
        for line in f.read().decode(errors="replace").replace("\r", "").splitlines():
            key, _, value = line.partition(" ")
            report.setdefault(key, []).append(value)
    return report


def program_lines(path):
    with open(path, "rb") as f:
        data = f.read().split(b"\x1a")[0]
    lines = data.replace(b"\r\n", b"\r").split(b"\r")
    return lines[:-1] if lines and lines[-1] == b"" else lines


def main(case, required_variable):
    """Runs the test case; exit code 77 (skipped) when the guest cannot be
    had, unless `required_variable` is set in the environment (CI). Test
    names on the command line run those tests alone."""
    required = bool(os.environ.get(required_variable))
    try:
        names = sys.argv[1:]
        suite = (unittest.TestSuite(map(case, names)) if names
                 else unittest.defaultTestLoader.loadTestsFromTestCase(case))
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    except Unavailable as reason:
        print("skipped:", reason)
        sys.exit(1 if required else SKIPPED)
    unavailable = [e for _, e in result.errors if "Unavailable" in e]
    if unavailable and not required and len(unavailable) == len(result.errors) and not result.failures:
        print("skipped:", unavailable[0].strip().splitlines()[-1])
        sys.exit(SKIPPED)
    sys.exit(0 if result.wasSuccessful() else 1)
