#!/usr/bin/env bash
# The shipped program runs on the oldest Windows its PE header names (6.0: Vista, Server 2008):
# the header says so, and every function it imports is on the list below, whose entries carry
# the minimum version Microsoft documents for them. A call that is not listed, or one whose
# minimum is newer than the header's, fails: a newer call belongs behind GetProcAddress with a
# fallback, so that an older Windows does not refuse to load the program.
# Usage: shipped_imports_test.sh EXE
set -euo pipefail
exe=$1
minimum=6.0

# dll function documented-minimum: the "Minimum supported client" of the function's page in
# Microsoft's Win32 reference, as an NT version (5.0 Windows 2000 Professional, 5.1 Windows XP,
# 6.0 Windows Vista; GetSystemTimes says "Windows Vista, Windows XP with SP1"). Pages no longer
# name anything older than those. crt: the system's C runtime, msvcrt.dll, which every Windows
# in question ships; the list pins the functions this program takes from it. Entries may name
# calls the program does not make yet (the event log's and its source's registry key).
allowed='
advapi32.dll ChangeServiceConfig2A 5.1
advapi32.dll CloseServiceHandle 5.1
advapi32.dll CreateServiceA 5.1
advapi32.dll DeleteService 5.1
advapi32.dll DeregisterEventSource 5.0
advapi32.dll OpenSCManagerA 5.1
advapi32.dll OpenServiceA 5.1
advapi32.dll RegisterEventSourceA 5.0
advapi32.dll RegCloseKey 5.0
advapi32.dll RegCreateKeyExA 5.0
advapi32.dll RegDeleteKeyA 5.0
advapi32.dll RegSetValueExA 5.0
advapi32.dll RegisterServiceCtrlHandlerExA 5.1
advapi32.dll ReportEventA 5.0
advapi32.dll SetServiceStatus 5.1
advapi32.dll StartServiceCtrlDispatcherA 5.1
kernel32.dll AcquireSRWLockExclusive 6.0
kernel32.dll CancelIoEx 6.0
kernel32.dll CloseHandle 5.0
kernel32.dll CreateEventA 5.1
kernel32.dll CreateFileA 5.1
kernel32.dll DeleteCriticalSection 5.1
kernel32.dll EnterCriticalSection 5.1
kernel32.dll FindFirstVolumeW 5.1
kernel32.dll FindNextVolumeW 5.1
kernel32.dll FindVolumeClose 5.1
kernel32.dll FormatMessageA 5.1
kernel32.dll FreeLibrary 5.1
kernel32.dll GetCurrentThread 5.1
kernel32.dll GetDiskFreeSpaceExA 5.1
kernel32.dll GetDiskFreeSpaceExW 5.1
kernel32.dll GetDriveTypeW 5.1
kernel32.dll GetEnvironmentVariableW 5.1
kernel32.dll GetLastError 5.1
kernel32.dll GetModuleFileNameA 5.1
kernel32.dll GetModuleHandleA 5.1
kernel32.dll GetModuleHandleW 5.1
kernel32.dll GetOverlappedResult 5.1
kernel32.dll GetProcAddress 5.1
kernel32.dll GetStartupInfoA 5.1
kernel32.dll GetSystemInfo 5.0
kernel32.dll GetSystemTimes 5.1
kernel32.dll GetVolumeInformationW 5.1
kernel32.dll GetVolumePathNamesForVolumeNameW 5.1
kernel32.dll GlobalMemoryStatusEx 5.1
kernel32.dll InitializeCriticalSection 5.1
kernel32.dll IsDBCSLeadByteEx 5.0
kernel32.dll LeaveCriticalSection 5.1
kernel32.dll LoadLibraryA 5.1
kernel32.dll LocalFree 5.1
kernel32.dll MultiByteToWideChar 5.0
kernel32.dll ReadFile 5.1
kernel32.dll ReleaseSRWLockExclusive 6.0
kernel32.dll SetConsoleCtrlHandler 5.0
kernel32.dll SetEvent 5.1
kernel32.dll SetLastError 5.1
kernel32.dll SetUnhandledExceptionFilter 5.1
kernel32.dll Sleep 5.1
kernel32.dll TlsGetValue 5.1
kernel32.dll VirtualProtect 5.1
kernel32.dll VirtualQuery 5.1
kernel32.dll WaitForMultipleObjects 5.1
kernel32.dll WaitForSingleObject 5.1
kernel32.dll WideCharToMultiByte 5.0
kernel32.dll WriteFile 5.1
'
crt_functions='__getmainargs __initenv __mb_cur_max __p___argv __p__acmdln __p__commode
  __p__fmode __set_app_type __setusermatherr _amsg_exit _cexit _errno _getpid _initterm _iob
  _lock _onexit _unlink _unlock abort atoi calloc exit fclose fopen fprintf fputc fputs free
  fwrite localeconv malloc memcpy memset puts realloc setlocale signal strchr strcmp strerror
  strlen strncmp strpbrk vfprintf wcslen'
for f in $crt_functions; do allowed+="msvcrt.dll $f crt"$'\n'; done

newer() { [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n 1)" != "$2" ]; }  # $1 > $2
status=0
fail() { echo "FAIL: $*"; status=1; }

header=$(i686-w64-mingw32-objdump -p "$exe")
version() { echo "$header" | awk -v k="$1" '$1 == "Major" k {a = $2} $1 == "Minor" k {b = $2} END {print a "." b}'; }
os=$(version OSystemVersion)
subsystem=$(version SubsystemVersion)
echo "PE header: OS $os, subsystem $subsystem"
[ "$os" = "$minimum" ] || fail "the OS version in the header is $os, not $minimum"
[ "$subsystem" = "$minimum" ] || fail "the subsystem version in the header is $subsystem, not $minimum"

# "DLL Name: X" opens each DLL's list; its functions follow as "<vma> <hint> <name>".
imports=$(echo "$header" | awk '
  /DLL Name:/ { dll = tolower($3); next }
  dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }' | sort -u)
[ -n "$imports" ] || { echo "FAIL: no imports found"; exit 1; }
echo "$(echo "$imports" | wc -l) imports"
while read -r dll function; do
  entry=$(echo "$allowed" | awk -v d="$dll" -v f="$function" '$1 == d && $2 == f {print $3}')
  if [ -z "$entry" ]; then
    fail "$dll $function is not on the list: look up its documented minimum Windows"
  elif [ "$entry" != crt ] && newer "$entry" "$minimum"; then
    fail "$dll $function needs Windows $entry, newer than $minimum: find it at run time"
  fi
done <<<"$imports"
[ $status -eq 0 ] && echo "every import is on the list and no newer than Windows $minimum"
exit $status
