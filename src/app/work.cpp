// The worker: the whole install pipeline, once, from top to bottom, under the
// Builder home's lock (taken before the downloads folder is made, let go once
// the old versions are swept, after the Builder started). Any fatal problem
// ends it through fail(). No step damages the installed version, so whatever
// a failure or a kill leaves, the next run starts over from it.
#include "app/app.h"
#include "install/install.h"

DWORD WINAPI work(void*) {
    static fetch_result fetched;
    fetch_setup_list(&fetched);
    static install_paths paths;
    install_paths_form(&fetched.list, &paths);
    if (install_needed(&paths, fetched.repair)) install_version(&fetched, &paths);
    records_step(&paths, &fetched.list, fetched.serial);
    // The Builder starts first: sweeping away the old versions and the
    // downloads only frees disk space, so it runs while the Builder starts,
    // still under the home's lock (a setup the Builder starts waits for it;
    // nothing here waits for the Builder), and never ends the run.
    HANDLE builder = 0;
    builder_start(paths.builder_exe, &builder);
    version_sweep(paths.versions, fetched.list.tag);
    test_point("swept");
    rmtree(fetched.downloads);
    home_lock_release();
    builder_finish(builder, paths.versions);
    return 0;
}
