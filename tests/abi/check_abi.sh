#!/usr/bin/env bash
# Compares the symbols a shared library exports (the defined dynamic symbols,
# demangled) with the list kept beside this script.  Any difference fails: an
# ABI change is made by changing the list in the same commit, on purpose.
# Nothing of the internal namespace may be exported in any case.  Each
# PROGRAM given, linked against the library, must have recorded a version node
# on every symbol of the library it uses: what lets the loader tell a library
# too old for it.
#     check_abi.sh LIBRARY EXPECTED_LIST [PROGRAM...]
set -euo pipefail
lib=$1
expected=$2
shift 2

# "ADDRESS TYPE NAME": the name alone, since a demangled name has spaces.  The
# standard types of the signatures are written short, as the list writes them
# (std::string, AttributeMap, DeviceMap: exactly these spellings of the C++11
# string ABI and of reader.h's maps, so any other type still shows in full).
string='std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >'
attributeMap='std::map<std::string, std::string, std::less<std::string >, std::allocator<std::pair<std::string const, std::string > > >'
deviceMap='std::map<std::string, AttributeMap, std::less<std::string >, std::allocator<std::pair<std::string const, AttributeMap > > >'
# NAME@@VERSION: the symbol versions are part of what is compared.
actual=$(nm -D --defined-only --with-symbol-versions --demangle "$lib" | sed -E 's/^[0-9a-fA-F]* *[A-Za-z] //' |
         awk -v s="$string" -v a="$attributeMap" -v d="$deviceMap" '
             function swap(text, from, to,    i, out) {
                 out = ""
                 while ((i = index(text, from)) > 0) {
                     out = out substr(text, 1, i - 1) to
                     text = substr(text, i + length(from))
                 }
                 return out text
             }
             { print swap(swap(swap($0, s, "std::string"), a, "AttributeMap"), d, "DeviceMap") }' |
         LC_ALL=C sort -u)
if [ -z "$actual" ]; then
    echo "FAIL: $lib exports nothing (not a shared library, or nm failed)"
    exit 1
fi

status=0
if grep -n '::detail::' <<<"$actual"; then
    echo "FAIL: the symbols above of the internal namespace are exported by $lib"
    status=1
fi
listed=$(grep -v -e '^#' -e '^$' "$expected" | LC_ALL=C sort -u)
if ! diff -u --label "$expected" --label "exported by $lib" <(printf '%s\n' "$listed") \
        <(printf '%s\n' "$actual"); then
    echo "FAIL: the exported symbols of $lib differ from $expected (- listed, + exported)."
    echo "If the change is meant, update the list (and the SONAME if a symbol went away)."
    status=1
fi
for program in "$@"; do
    # The library's symbols a program uses without a version: "U NAME".
    unversioned=$(nm -D --undefined-only --with-symbol-versions --demangle "$program" |
                  sed -E 's/^ *[A-Za-z] //' | grep -e '^Quentor::LinuxEnum::' | grep -v '@SYSFSREADER_' || true)
    used=$(nm -D --undefined-only --demangle "$program" | grep -c 'Quentor::LinuxEnum::' || true)
    if [ "$used" = 0 ]; then
        echo "FAIL: $program uses no symbol of the library (not linked against it?)"
        status=1
    elif [ -n "$unversioned" ]; then
        printf '%s\n' "$unversioned"
        echo "FAIL: $program uses the symbols above of the library without a version"
        status=1
    fi
done
[ "$status" = 0 ] && echo "exported symbols match $expected ($(wc -l <<<"$actual") symbols)"
exit "$status"
