// The one retrying rename: another process holding a file (or a file inside a
// folder) for a moment, often an antivirus scan, fails a rename with access
// denied or a sharing violation; it is waited out for about 20 seconds.
#include "setup.h"

int move_with_retries(const wchar_t* from, const wchar_t* to, DWORD flags) {
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(from, to, flags)) return 1;
        DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == 80) {
            SetLastError(error);
            return 0;
        }
        setup_sleep(250);
    }
}
