# Makes a chain of folders `depth` deep (chain/d/d/...) inside `folder`, each made relative to the
# one before, and prints how long that took in seconds. Used by the watch benchmarks against a
# running watch.
#   python3 bench/folder_chain.py FOLDER DEPTH
import os
import sys
import time

t0 = time.monotonic()
fd = os.open(sys.argv[1], os.O_RDONLY)
os.mkdir("chain", dir_fd=fd)
for i in range(int(sys.argv[2])):
    inner = os.open("chain" if i == 0 else "d", os.O_RDONLY, dir_fd=fd)
    os.close(fd)
    fd = inner
    os.mkdir("d", dir_fd=fd)
os.close(fd)
print("%.1f" % (time.monotonic() - t0))
