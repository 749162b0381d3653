#!/usr/bin/env bash
# The image bootstrap runs before the image's base relocations and imports are
# fixed up, so its object may reach its own data and code only RIP-relative
# and may call nothing outside itself: no import, no C runtime function, no
# .refptr indirection, no __ImageBase. Usage:
#   bootstrap_object_test.sh OBJDUMP NM image_bootstrap.cpp.obj
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: bootstrap_object_test.sh OBJDUMP NM OBJECT"; exit 2; }
objdump=$1 nm=$2 object=$3
[ -f "$object" ] || { echo "FAIL no object at $object: build the kestal target first"; exit 1; }

# Code of this object that a RIP-relative call or jump may land in.
own_code=$("$nm" --defined-only "$object" | awk '$2 == "t" || $2 == "T" { print $3 }')

# The one absolute address that data may hold: g_link_time_self, the pointer
# by which the bootstrap tells whether the base relocations were applied,
# lies in .data and points at its own place.
self_at=$("$nm" --defined-only "$object" | awk '$2 == "D" && $3 == "g_link_time_self" { print $1 }')
data_hex=$("$objdump" -s -j .data "$object" | awk '/^ [0-9a-f]+ / { for (i = 2; i <= 5; i++) printf "%s", $i }')
# The 64-bit value stored at a .data offset (hex), read little-endian.
stored_at() {
  local at=$((16#$1)) value=
  for ((byte = 7; byte >= 0; byte--)); do value+=${data_hex:$(((at + byte) * 2)):2}; done
  echo "$value"
}
is_self_pointer() { # SECTION OFFSET TARGET
  [[ -n $self_at && $1 == .data && $2 == "$self_at" && $3 =~ ^(\.data|g_link_time_self)$ ]] &&
    ((16#$(stored_at "$2") == 16#$self_at))
}

failures=0 checked=0 section=
while read -r offset type target; do
  case $offset in
    RELOCATION) section=${target%]:}; section=${section#[}; continue ;;
    OFFSET | "" | *:) continue ;;
  esac
  [[ $section == .debug* ]] && continue # never loaded
  checked=$((checked + 1))
  if [[ $section != .text* ]]; then
    # Data may hold image-relative offsets (unwind tables), but no absolute address.
    if [[ $type =~ ^IMAGE_REL_AMD64_ADDR(64|32)$ ]] && ! is_self_pointer "$section" "$offset" "$target"; then
      echo "FAIL $section+0x$offset holds the absolute address of $target ($type)"
      failures=$((failures + 1))
    fi
  elif [[ ! $type =~ ^IMAGE_REL_AMD64_REL32(_[1-5])?$ ]]; then
    echo "FAIL $section+0x$offset: $type to $target is not RIP-relative"
    failures=$((failures + 1))
  elif [[ $target =~ ^\.(rdata|bss|data)$ || $target == g_last_error ]] || grep -qxF -- "$target" <<<"$own_code"; then
    :
  else
    echo "FAIL $section+0x$offset: reaches $target, which is outside this object"
    failures=$((failures + 1))
  fi
done < <("$objdump" -r "$object" | sed 's/^RELOCATION RECORDS FOR \[\(.*\)\]:$/RELOCATION _ [\1]:/')

if [ "$checked" = 0 ]; then
  echo "FAIL no relocations read from $object: is it the bootstrap object?"
  exit 1
fi
if [ -z "$self_at" ]; then
  echo "FAIL $object defines no g_link_time_self in .data: relocation cannot be detected"
  failures=$((failures + 1))
fi
echo "$checked relocations checked, $failures outside the rules"
if [ "$failures" != 0 ]; then
  echo "Reach the data RIP-relative and call kernel32 only through the pointers found in its export table."
  exit 1
fi
