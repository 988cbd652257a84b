#!/usr/bin/env python3
# usage: hold.py MARK ACTION WINE PROGRAM [ARGS...]: holds PROGRAM as a breakpoint
# would while ACTION (shell) runs. Its file calls are traced to standard error, a
# pipe of one page read up to the first line naming MARK; a page on, it waits.
import fcntl, os, re, subprocess, sys

read_end, write_end = os.pipe()
fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
program = subprocess.Popen(sys.argv[3:], stderr=write_end, env=dict(os.environ, WINEDEBUG="-all,+file"))
os.close(write_end)
text, mark = bytearray(), sys.argv[1].encode()
while not text.endswith(b"\n") or mark not in text[text.rfind(b"\n", 0, -1) + 1 :]:
    text += os.read(read_end, 1) or sys.exit("hold.py: no trace line names " + sys.argv[1])
subprocess.run(sys.argv[2], shell=True, check=True)
while chunk := os.read(read_end, 65536):
    text += chunk
sys.stderr.buffer.write(re.sub(rb"[0-9a-f]{4}:(trace|warn|err|fixme):[^\n]*\n", b"", text))
sys.exit(program.wait())
