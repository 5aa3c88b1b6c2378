// desktop.exe: keeps the prefix's desktop open for as long as its standard
// input stays open. Wine closes a desktop about a second after its last
// program has ended, and takes the windows of a program that starts in that
// second with it; the tests run one program after another, so each would
// start at that edge. Held by this program, the desktop stays for the whole
// session. It connects to the desktop first, then makes its start mark, so a
// test that saw the mark knows the desktop is held.
#include "double_util.h"

int wmain() {
    if (!GetDesktopWindow()) return 3;
    dbl::started();
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buf[256];
    DWORD got = 0;
    while (ReadFile(in, buf, sizeof buf, &got, nullptr) && got) {
    }
    return 0;
}
