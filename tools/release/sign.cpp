// `sign` and `verify`: Authenticode signatures of the setup executable,
// through osslsigncode. A signed file replaces the original only after its
// signature verified.
#include "tool.h"

#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

// Runs a program (found on PATH) with these arguments; its exit code, or -1.
int run(const std::vector<std::string>& args) {
    fflush(stdout);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        fprintf(stderr, "stonewake-release: cannot run %s (is it installed?)\n", argv[0]);
        return -1;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// osslsigncode's own report goes to standard output; ours follows it.
bool verified(const std::string& exe, const std::string& ca) {
    return run({"osslsigncode", "verify", "-in", exe, "-CAfile", ca}) == 0;
}

}  // namespace

int cmd_sign(int argc, char** argv) {
    options o;
    if (!parse_options(argc, argv, {"cert", "key", "ca"}, {}, o)) return 2;
    if (o.positional.size() != 1 || !o.get("cert") || !o.get("key")) {
        fprintf(stderr, "usage: stonewake-release sign EXE --cert CERT --key KEY [--ca FILE]\n");
        return 2;
    }
    const std::string exe = o.positional[0], cert = *o.get("cert");
    const std::string ca = o.get("ca") ? *o.get("ca") : cert;
    const std::string signed_exe = exe + ".signed";
    remove(signed_exe.c_str());
    int rc = run({"osslsigncode", "sign", "-certs", cert, "-key", *o.get("key"), "-h", "sha256", "-n",
                  "Stonewake Builder setup", "-in", exe, "-out", signed_exe});
    if (rc != 0) {
        remove(signed_exe.c_str());
        printf("refused: %s could not be signed\n", exe.c_str());
        return 1;
    }
    if (!verified(signed_exe, ca)) {
        remove(signed_exe.c_str());
        printf("refused: the signature made for %s does not verify against %s\n", exe.c_str(), ca.c_str());
        return 1;
    }
    if (rename(signed_exe.c_str(), exe.c_str()) != 0) {
        remove(signed_exe.c_str());
        printf("refused: cannot replace %s by its signed copy\n", exe.c_str());
        return 1;
    }
    printf("ok: %s is signed and its signature verifies against %s\n", exe.c_str(), ca.c_str());
    return 0;
}

int cmd_verify(int argc, char** argv) {
    options o;
    if (!parse_options(argc, argv, {"ca"}, {}, o)) return 2;
    if (o.positional.size() != 1 || !o.get("ca")) {
        fprintf(stderr, "usage: stonewake-release verify EXE --ca FILE\n");
        return 2;
    }
    const std::string exe = o.positional[0], ca = *o.get("ca");
    if (!verified(exe, ca)) {
        printf("refused: %s has no valid signature from a certificate in %s\n", exe.c_str(), ca.c_str());
        return 1;
    }
    printf("ok: %s is signed and its signature verifies against %s\n", exe.c_str(), ca.c_str());
    return 0;
}
