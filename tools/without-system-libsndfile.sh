#!/bin/sh
# Runs a command where the system's libsndfile cannot be loaded: in a private
# mount namespace (unshare; needs root) /dev/null is bind-mounted over every
# libsndfile.so* of the system's library directories, so neither the dynamic
# loader nor ctypes finds a copy there. The rest of the system is as it was.
#   tools/without-system-libsndfile.sh COMMAND [ARG...]
set -e
if [ "$1" != --inside ]; then
  exec unshare --mount --propagation private "$0" --inside "$@"
fi
shift
for lib in $(for candidate in /lib/libsndfile.so* /lib/*/libsndfile.so* /usr/lib/libsndfile.so* \
                 /usr/lib/*/libsndfile.so* /usr/local/lib/libsndfile.so* /usr/local/lib/*/libsndfile.so*; do
               [ -e "$candidate" ] && readlink -f "$candidate"
             done | sort -u); do
  mount --bind /dev/null "$lib"
  echo "hidden: $lib"
done
# Whatever the loader's cache still names must now be empty.
for lib in $(ldconfig -p | awk '/libsndfile\.so/ {print $NF}'); do
  if [ "$(head -c 4 "$lib" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    echo "without-system-libsndfile.sh: $lib is still a library" >&2
    exit 1
  fi
done
exec "$@"
