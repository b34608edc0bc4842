#!/bin/sh
# The agent must export only its JVM entry points and link nothing but glibc.
lib="$1"
status=0
bad=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -v -E '^(Agent_OnAttach|Agent_OnLoad|Java_com_tolvane_agent_callee_JvmtiCallee_[A-Za-z0-9_]+|eq_nt_str|eq_2nt_str|_Z9eq_nt_strPKcS0_ib|_Z10eq_2nt_strPKcS0_iib)$')
if [ -n "$bad" ]; then
  echo "unexpected exported symbols:"; echo "$bad"; status=1
fi
for entry in Agent_OnAttach Agent_OnLoad; do
  nm -D --defined-only "$lib" | grep -q " $entry\$" || { echo "$entry not exported"; status=1; }
done
deps=$(ldd "$lib" | awk '{print $1}' | grep -v -E '^(linux-vdso\.so\.1|libc\.so\.6|libm\.so\.6|/lib64/ld-linux-x86-64\.so\.2|ld-linux-x86-64\.so\.2)$')
if [ -n "$deps" ]; then
  echo "unexpected shared library dependencies:"; echo "$deps"; status=1
fi
[ $status -eq 0 ] && echo "exports and dependencies ok: 1 passed, 0 failed"
exit $status
