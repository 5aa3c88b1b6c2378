// The entry point: everything it decides lives in the library.
#include "app/app.h"

MAY_END_RUN int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR tail, int show) {
    test_started();
    process_end((UINT)setup_main(instance, tail, show));
    return 0;
}
