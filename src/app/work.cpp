// The worker: the whole install pipeline, once, from top to bottom. Any fatal
// problem ends it through fail(); nothing is rolled back beyond what the
// failing step undoes, and the next run starts over from what it finds.
#include "setup.h"

DWORD WINAPI work(void*) {
    static fetch_result fetched;
    fetch_setup_list(&fetched);
    static install_paths paths;
    install_paths_form(&fetched.list, &paths);
    if (install_needed(&paths, fetched.repair)) install_version(&fetched, &paths);
    records_step(&paths, &fetched.list);
    version_sweep(paths.versions, fetched.list.tag);
    rmtree(fetched.downloads);
    start_builder(paths.builder_exe);
    return 0;
}
