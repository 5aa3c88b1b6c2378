// The worker: the whole install pipeline, once, from top to bottom, under the
// Builder home's lock (taken before the downloads folder is made). Any fatal
// problem ends it through fail(). No step damages the installed version, so
// whatever a failure or a kill leaves, the next run starts over from it.
#include "setup.h"

DWORD WINAPI work(void*) {
    static fetch_result fetched;
    fetch_setup_list(&fetched);
    static install_paths paths;
    install_paths_form(&fetched.list, &paths);
    if (install_needed(&paths, fetched.repair)) install_version(&fetched, &paths);
    records_step(&paths, &fetched.list, fetched.serial);
    version_sweep(paths.versions, fetched.list.tag);
    test_point("swept");
    rmtree(fetched.downloads);
    home_lock_release();
    start_builder(paths.builder_exe);
    return 0;
}
