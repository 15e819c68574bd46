#!/usr/bin/env bash
# Checks the udev rule file: with udevadm verify where the machine has it,
# and in any case that every rule line is made of KEY==/=/+="value" pairs.
set -euo pipefail
RULE=$(cd "$(dirname "$0")/.." && pwd)/packaging/60-korvex200.rules
if command -v udevadm > /dev/null && udevadm verify --help > /dev/null 2>&1; then
  udevadm verify "$RULE"
else
  echo "udevadm verify is not available here: checking the rule syntax only"
fi
n=0
while IFS= read -r line; do
  case "$line" in ''|'#'*) continue ;; esac
  rest=$(echo "$line" | sed -E 's/[A-Za-z_]+(\{[A-Za-z_]+\})?(==|!=|\+=|:=|=)"[^"]*"(, *)?//g')
  [ -z "$(echo "$rest" | tr -d ' ')" ] || { echo "not a rule: $line"; exit 1; }
  n=$((n + 1))
done < "$RULE"
grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$RULE"
grep -q 'TAG+="uaccess"' "$RULE"
grep -q 'ATTR{latency_timer}="1"' "$RULE"
echo "$n udev rules checked"
