"""Peak resident memory of the current process.

`getrusage(RUSAGE_SELF).ru_maxrss` is not this: Linux folds the parent's peak into a child's
at fork and keeps it across exec, so a small child of a large driver reports the driver's
peak. The kernel's high-water mark of this process's own address space (VmHWM) is exact.
"""


def peak_rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    raise RuntimeError("VmHWM missing from /proc/self/status")
