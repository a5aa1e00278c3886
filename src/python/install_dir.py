"""Prints where this interpreter finds modules installed under PREFIX (argv[1]),
relative to PREFIX when it lies under it."""
import os
import sys
import sysconfig

prefix = sys.argv[1]
version = "python%d.%d" % sys.version_info[:2]
# Debian's interpreter searches dist-packages, not the site-packages its
# default scheme names.
for candidate in (os.path.join(prefix, "lib", version, "dist-packages"),
                  os.path.join(prefix, "lib", "python3", "dist-packages")):
    if candidate in sys.path:
        break
else:
    candidate = sysconfig.get_path("platlib", "posix_prefix", vars={"platbase": prefix, "base": prefix})
relative = os.path.relpath(candidate, prefix)
print(candidate if relative.startswith("..") else relative)
