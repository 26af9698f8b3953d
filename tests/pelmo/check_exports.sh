#!/bin/sh
# Checks that the library exports exactly the nine bus entry points and nothing else.
set -eu
lib="$1"
expected="pmGetInfo
pmGetPublicVar
pmGetStr
pmGetp
pmPostData
pmRegister
pmSetPublicVar
pmSetStr
pmUnregister"
actual=$(nm -D --defined-only "$lib" | awk '{ print $NF }' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from the nine entry points:" >&2
  echo "$actual" >&2
  exit 1
fi
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$soname" != "libpelmo.so.1" ]; then
  echo "unexpected soname: '$soname'" >&2
  exit 1
fi
echo "libpelmo exports exactly the nine entry points (soname $soname)"
