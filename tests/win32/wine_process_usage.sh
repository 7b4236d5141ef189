#!/usr/bin/env bash
# How often a process wakes and how much processor time it takes over a while, counted by Linux
# for all of its threads (Wine cannot tell one Windows process the times of another).
#
#   tests/win32/wine_process_usage.sh PID SECONDS [MAX_SWITCHES_PER_S MAX_CPU_PERCENT]
#
# Prints one line: "ok|FAIL switches=N/s cpu=P% demand=D%" (the verdict only when the limits
# are given, else "-"). Context switches are the voluntary and involuntary ones of every thread;
# the processor time comes from the scheduler's nanosecond counts. Demand adds the time the
# threads were ready but waited for a processor: on a busy machine a thread that spins gets
# only its share of a core, but it still demands all of it.
set -uo pipefail
pid=$1
seconds=$2
max_switches=${3:-}
max_cpu=${4:-}

# Prints "switches cpu_ns waiting_ns" summed over the process's threads.
sample() {
  local switches=0 cpu=0 waiting=0 task key value run wait
  for task in /proc/"$pid"/task/*; do
    while read -r key value; do
      case $key in
        voluntary_ctxt_switches: | nonvoluntary_ctxt_switches:) switches=$((switches + value)) ;;
      esac
    done <"$task/status" 2>/dev/null
    if read -r run wait _ <"$task/schedstat" 2>/dev/null; then
      cpu=$((cpu + run))
      waiting=$((waiting + wait))
    fi
  done
  echo "$switches $cpu $waiting"
}

[ -d "/proc/$pid" ] || { echo "FAIL: no process $pid"; exit 1; }
read -r s0 c0 w0 < <(sample)
t0=$(date +%s%N)
sleep "$seconds"
read -r s1 c1 w1 < <(sample)
t1=$(date +%s%N)
[ -d "/proc/$pid" ] || { echo "FAIL: process $pid ended"; exit 1; }
awk -v s="$((s1 - s0))" -v c="$((c1 - c0))" -v w="$((w1 - w0))" -v t="$((t1 - t0))" \
  -v ms="$max_switches" -v mc="$max_cpu" 'BEGIN {
    rate = s / (t / 1e9); cpu = c / t * 100; demand = (c + w) / t * 100
    verdict = "-"
    if (ms != "" && mc != "") verdict = (rate <= ms && cpu <= mc) ? "ok" : "FAIL"
    printf "%s switches=%.1f/s cpu=%.3f%% demand=%.1f%%\n", verdict, rate, cpu, demand
  }'
