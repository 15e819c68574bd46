#!/usr/bin/env bash
# Checks the udev rule file: with udevadm verify where the machine has it,
# and in any case that every rule line is made of KEY==/=/+="value" pairs,
# that every rule which changes something matches a USB vendor and product
# id (never a driver alone, which would take over every modem of the
# machine), and that the rules match exactly the adapters of the table below:
# each tty rule with the access and ModemManager settings, and the FTDI
# latency rule for the FTDI pairs.
set -euo pipefail
RULE=${1:-$(cd "$(dirname "$0")/.." && pwd)/packaging/60-korvex200.rules}
ADAPTERS=(
  0403:6001  # FTDI FT232R
  0403:6010  # FTDI FT2232
  0403:6014  # FTDI FT232H
  0403:6015  # FTDI FT-X series
  1a86:7523  # WCH CH340
  1a86:5523  # WCH CH341
  1a86:55d3  # WCH CH343
  1a86:55d4  # WCH CH9102
  10c4:ea60  # Silicon Labs CP210x
  067b:2303  # Prolific PL2303
)
if command -v udevadm > /dev/null && udevadm verify --help > /dev/null 2>&1; then
  udevadm verify "$RULE"
else
  echo "udevadm verify is not available here: checking the rule syntax only"
fi
fail() { echo "$RULE: $*"; exit 1; }
value() { echo "$1" | sed -nE "s/.*$2==\"([^\"]*)\".*/\1/p"; }  # value of KEY=="..."
n=0
tty_pairs=()
latency_pairs=()
while IFS= read -r line; do
  case "$line" in ''|'#'*) continue ;; esac
  rest=$(echo "$line" | sed -E 's/[A-Za-z_]+(\{[A-Za-z_]+\})?(==|!=|\+=|:=|=)"[^"]*"(, *)?//g')
  [ -z "$(echo "$rest" | tr -d ' ')" ] || fail "not a rule: $line"
  n=$((n + 1))
  vid=$(value "$line" 'ATTRS\{idVendor\}')
  pids=$(value "$line" 'ATTRS\{idProduct\}')
  [ -n "$vid" ] && [ -n "$pids" ] || fail "a rule without USB vendor and product id: $line"
  pairs=()
  IFS='|' read -ra pid_list <<< "$pids"
  for pid in "${pid_list[@]}"; do pairs+=("$vid:$pid"); done
  if [[ $line == *'SUBSYSTEM=="tty"'* ]]; then
    for want in 'GROUP="dialout"' 'MODE="0660"' 'TAG+="uaccess"' 'ENV{ID_MM_DEVICE_IGNORE}="1"'; do
      [[ $line == *"$want"* ]] || fail "tty rule without $want: $line"
    done
    tty_pairs+=("${pairs[@]}")
  elif [[ $line == *'ATTR{latency_timer}="1"'* ]]; then
    latency_pairs+=("${pairs[@]}")
  else
    fail "neither a tty rule nor the FTDI latency rule: $line"
  fi
done < "$RULE"
sorted() { printf '%s\n' "$@" | sort; }
want_ftdi=()
for p in "${ADAPTERS[@]}"; do [[ $p == 0403:* ]] && want_ftdi+=("$p"); done
diff <(sorted "${ADAPTERS[@]}") <(sorted "${tty_pairs[@]}") ||
  fail "the tty rules do not match exactly the adapters (< missing, > extra)"
diff <(sorted "${want_ftdi[@]}") <(sorted "${latency_pairs[@]}") ||
  fail "the latency rule does not match exactly the FTDI adapters (< missing, > extra)"
echo "$n udev rules checked: ${#tty_pairs[@]} adapters, ${#latency_pairs[@]} with the FTDI latency timer"
