// verify_main.exe: what checking a setup list's signature costs, through the
// setup's own scan and verification with the build's publisher keys.
//
//   verify_main <signed list> [count]
//
// Prints "<first call us> <mean us of the next count calls> <verified 0|1>":
// the first call includes opening CNG's ECDSA provider. Exit 0 when every
// call verified, 1 when not, 2 on a usage error.
#include "setup.h"

#include <stdio.h>
#include <stdlib.h>

#include "home/home.h"
#include "release/release.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && argc != 3) {
        fputs("usage: verify_main <signed list> [count]\n", stderr);
        return 2;
    }
    int count = argc == 3 ? _wtoi(argv[2]) : 200;
    static char body[65536];
    DWORD length = 0;
    if (count < 1 || qb_home_bytes(argv[1], body, sizeof body, &length) != 1) return 2;
    LARGE_INTEGER frequency, start, first, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    list_signing signing;
    list_signing_scan(body, length, &signing);
    int verified = list_signature_verified(body, &signing);
    QueryPerformanceCounter(&first);
    for (int i = 0; i < count; ++i) {
        list_signing_scan(body, length, &signing);
        verified &= list_signature_verified(body, &signing);
    }
    QueryPerformanceCounter(&end);
    double us = 1e6 / (double)frequency.QuadPart;
    printf("%.0f %.1f %d\n", (double)(first.QuadPart - start.QuadPart) * us,
           (double)(end.QuadPart - first.QuadPart) * us / count, verified);
    return verified ? 0 : 1;
}
