#!/usr/bin/env bash
# Exits 0 when Wine can run 32-bit Windows programs on this machine; otherwise prints why and
# exits 1. Wine runs them through its 32-bit part (the wine32 package) and its 32-bit loader, an
# i386 Linux program: a kernel without 32-bit support (some virtual machines) refuses it, and
# no Wine prefix can help then.
[ -f /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll ] ||
  [ -f /usr/lib/wine/i386-windows/kernel32.dll ] ||
  { echo "Wine's 32-bit part (wine32:i386) is not installed"; exit 1; }
for loader in /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine; do
  [ -x "$loader" ] || continue
  if ! out=$("$loader" --version 2>&1); then
    case $out in
      *"Exec format error"*) why="the kernel refuses 32-bit executables (Exec format error)" ;;
      *) why=$(printf '%s' "$out" | tail -n 1) ;;
    esac
    echo "this machine cannot run 32-bit programs: $why"
    exit 1
  fi
  exit 0
done
exit 0  # no loader of its own (a Wine that runs 32-bit code in its 64-bit one): let Wine try
