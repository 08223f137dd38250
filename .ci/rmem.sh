# Lends the machine's net.core.rmem_max to the stock kernel's value and
# gives it back, safely for runs that overlap: each run that holds it is
# noted under a lock, the value found by the first is kept once, and the
# last to let go (or the next to come, after a run that was killed) puts
# that value back. Sourced by .ci/run.

cap_file=/proc/sys/net/core/rmem_max
stock_cap=212992
hold_dir=/run/sentences-ci
hold_lock=$hold_dir/rmem.lock
holders=$hold_dir/rmem.holders
original=$hold_dir/rmem.original

# Keeps in the holders' list only the processes still running.
prune_holders() {
  local pid alive=()
  [ -f "$holders" ] || return 0
  while read -r pid; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then alive+=("$pid"); fi
  done < "$holders"
  printf '%s\n' "${alive[@]+"${alive[@]}"}" | grep . > "$holders" || true
}

# Sets the stock cap for process $1 (this run by default), keeping the
# value it found if nobody else holds it.
hold_stock_cap() {
  local holder=${1:-$$}
  mkdir -p "$hold_dir"
  (
    flock 9
    prune_holders
    if [ ! -s "$holders" ] && [ ! -f "$original" ]; then
      cat "$cap_file" > "$original"
    fi
    echo "$holder" >> "$holders"
    echo "$stock_cap" > "$cap_file"
  ) 9> "$hold_lock"
}

# Lets go of the stock cap for process $1; the last holder puts the value
# found back.
give_back_cap() {
  local holder=${1:-$$}
  [ -d "$hold_dir" ] || return 0
  (
    flock 9
    if [ -f "$holders" ]; then
      grep -vx "$holder" "$holders" > "$holders.new" || true
      mv "$holders.new" "$holders"
    fi
    prune_holders
    if [ ! -s "$holders" ] && [ -f "$original" ]; then
      cat "$original" > "$cap_file"
      rm -f "$original" "$holders"
    fi
  ) 9> "$hold_lock"
}
