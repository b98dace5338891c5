/*
 * winapi.h - the few Windows services the integration uses, on Linux: host paths,
 * the registry, the shell, Sleep and DeleteFileA, and a safe log-file opener.
 *
 * HOST PATHS
 *   zqHostPath turns a Windows-form path into the host path.  A path that starts
 *   with '\' or with a drive letter, ':' and '\' (or '/') lies on "the current
 *   drive", which is the instance directory $ZQ_ROOT: the drive letter is dropped
 *   and every '\' becomes '/', so "\temp\vtmzqerr.log" and "c:\temp\vtmzqerr.log"
 *   are both $ZQ_ROOT/temp/vtmzqerr.log.  "." and ".." parts of such a path are
 *   resolved as Windows does at a drive root: ".." never climbs above $ZQ_ROOT.
 *   Any other path only has its '\' turned into '/': the installation directory
 *   "/var/opt/zq" followed by "\conf\c\trv\trvconfig.dat" is
 *   /var/opt/zq/conf/c/trv/trvconfig.dat.
 *
 *   int zqHostPath(const char *path, char *out, size_t size)
 *     writes the host path, NUL-terminated, into out (size bytes) and returns its
 *     length.  When it does not fit, out receives the empty text (never a cut path,
 *     which could name another file) and the result is the length it needs, so
 *     result >= size means "too small".  -1 when path or out is null or size is 0.
 *
 * REGISTRY
 *   String values only (REG_SZ, REG_EXPAND_SZ is stored as REG_SZ), kept in the text
 *   file $ZQ_ROOT/registry: one "[full key path]" line per key, e.g.
 *       [HKEY_LOCAL_MACHINE\SOFTWARE\Velmora\Corvel\Tarnwick]
 *       PathName=/var/opt/zq
 *   then one "Name=value" line per value (the value runs to the end of the line,
 *   blanks included; "@" names the default value).  Lines starting with ';' or '#'
 *   and empty lines are ignored.  Key and value names compare case-insensitively.
 *   Reads take the file as it is; every write takes an exclusive lock
 *   ($ZQ_ROOT/registry.lock, flock) and replaces the file atomically (a new file,
 *   then rename), so readers never see half a file.  A value ends at its first NUL
 *   (or after cbData bytes).  What the format cannot hold is refused with
 *   ERROR_INVALID_PARAMETER: a line break in a value or name, a name holding '=',
 *   starting with '[' or with blanks at its ends, a key path holding ']'.
 *   Results: ERROR_SUCCESS; ERROR_FILE_NOT_FOUND for a missing key or value;
 *   ERROR_MORE_DATA when the caller's buffer is short (*lpcbData then holds the size
 *   needed, the terminating NUL included, and the buffer holds the empty text);
 *   ERROR_INVALID_HANDLE for a key that is not open; ERROR_INVALID_PARAMETER for bad
 *   arguments; ERROR_BAD_PATHNAME for a sub-key with an empty part or a leading '\';
 *   ERROR_ACCESS_DENIED / ERROR_PATH_NOT_FOUND / ERROR_WRITE_FAULT when the file
 *   cannot be written.  RegCreateKeyExA creates a missing key (and the keys above
 *   it) with no values.  A key exists when its section, or one below it, exists;
 *   HKEY_CURRENT_USER\Environment, HKEY_CURRENT_USER\Software and
 *   HKEY_LOCAL_MACHINE\SOFTWARE always exist, as on every Windows system.
 *   Handles are small numbers, not pointers: a closed or made-up handle is refused,
 *   never followed.  The access mask is accepted and not enforced.
 *
 * SHELL
 *   ShellExecuteA(hwnd, "open" or NULL, file, parameters, directory, show) never runs
 *   a shell.  A file that is a URL (scheme://...) is handed as the single argument
 *   to the program named by $BROWSER when it is set (a program name looked up on
 *   PATH, or a path; nothing else of the variable is interpreted), else to
 *   xdg-open.  Any other file is a program: a trailing ".exe" is dropped, a name
 *   with '\' or '/' goes through zqHostPath, a bare name is looked up on PATH; the
 *   parameters are split into arguments by the Windows command-line rules
 *   (blanks and tabs separate; double quotes group; 2n backslashes before a quote
 *   give n backslashes and the quote groups, 2n+1 give n backslashes and a literal
 *   quote; other backslashes are literal; "" inside quotes is a literal quote and
 *   ends the group).  Nothing in them is expanded.  directory, when given, is a
 *   Windows-form path (zqHostPath) the program starts in.  The child runs detached
 *   (its own session, not a child of the caller, standard input and output on
 *   /dev/null).  Result: above 32 when the program was started; otherwise
 *   SE_ERR_FNF 2 (no such program), SE_ERR_PNF 3 (no such directory),
 *   SE_ERR_ACCESSDENIED 5, SE_ERR_OOM 8, 11 (not an executable), SE_ERR_NOASSOC 31
 *   (another verb, or no browser for a URL).  Cast the result to intptr_t to test it.
 *
 * Sleep(ms) sleeps that many milliseconds.  DeleteFileA(path) removes a file; path
 *   is a HOST path (pass it through zqHostPath first); TRUE (1) when removed, FALSE
 *   (0) otherwise, with errno set.
 *
 * zqOpenLogFile(path, mode) opens a host path for appending, mode "a" (write) or
 *   "a+" (read and write), creating it (0644 less the umask) when missing.  It never
 *   follows a symbolic link at the last part of the path and opens only regular
 *   files (a FIFO or a device is refused without blocking); the stream is
 *   close-on-exec.  NULL with errno set on failure (ELOOP for a symbolic link).
 */
#ifndef ZQ_WINAPI_H
#define ZQ_WINAPI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
typedef uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef int32_t LONG;
typedef LONG LSTATUS;
typedef int BOOL;
typedef int INT;
typedef unsigned char BYTE;
typedef BYTE *LPBYTE;
typedef char CHAR;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef void *HANDLE;
typedef struct ZqWinKey *HKEY;
typedef HKEY *PHKEY;
typedef DWORD REGSAM;
typedef struct ZqWinWindow *HWND;
typedef struct ZqWinInstance *HINSTANCE;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define MAX_PATH 260

/* Predefined keys. */
#define HKEY_CLASSES_ROOT   ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER   ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE  ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_USERS          ((HKEY)(uintptr_t)0x80000003u)

/* Access rights (accepted, not enforced). */
#define KEY_QUERY_VALUE        0x0001
#define KEY_SET_VALUE          0x0002
#define KEY_CREATE_SUB_KEY     0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY             0x0010
#define KEY_READ               0x20019
#define KEY_WRITE              0x20006
#define KEY_ALL_ACCESS         0xF003F

#define REG_OPTION_NON_VOLATILE 0x0000
#define REG_CREATED_NEW_KEY     0x0001
#define REG_OPENED_EXISTING_KEY 0x0002

#define REG_NONE      0
#define REG_SZ        1
#define REG_EXPAND_SZ 2

#define ERROR_SUCCESS           0L
#define ERROR_FILE_NOT_FOUND    2L
#define ERROR_PATH_NOT_FOUND    3L
#define ERROR_ACCESS_DENIED     5L
#define ERROR_INVALID_HANDLE    6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_FAULT       29L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_PATHNAME      161L
#define ERROR_MORE_DATA         234L

/* ShellExecuteA show modes (accepted, not used) and failure results. */
#define SW_HIDE       0
#define SW_SHOWNORMAL 1
#define SW_NORMAL     1
#define SW_SHOW       5
#define SE_ERR_FNF          2
#define SE_ERR_PNF          3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM          8
#define SE_ERR_NOASSOC      31

int zqHostPath(const char *path, char *out, size_t size);

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                    DWORD cbData);
LONG RegCloseKey(HKEY hKey);

HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                        LPCSTR lpDirectory, INT nShowCmd);

void Sleep(DWORD dwMilliseconds);
BOOL DeleteFileA(LPCSTR lpFileName);

FILE *zqOpenLogFile(const char *path, const char *mode);

#ifdef __cplusplus
}
#endif

#endif /* ZQ_WINAPI_H */
