// stonewake-release: make, check and sign a release of the Stonewake Builder.
#include "tool.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char usage[] =
    "usage:\n"
    "  stonewake-release make --builder DIR --parts FILE --host HOST --tag TAG --out OUT\n"
    "                         [--run PATH] [--key FILE [--serial N]] [--no-check]\n"
    "  stonewake-release check LIST [--parts DIR] [--previous OLDLIST] [--cacert FILE] [--keys KEYS]\n"
    "  stonewake-release keygen --out DIR\n"
    "  stonewake-release sign-list LIST --key FILE [--serial N]\n"
    "  stonewake-release sign EXE --cert CERT --key KEY [--ca FILE]\n"
    "  stonewake-release verify EXE --ca FILE\n"
    "LIST and OLDLIST are files or https addresses. keygen writes DIR/publisher.key (the\n"
    "private key: keep it offline) and DIR/publisher.pub (the public key). make --key and\n"
    "sign-list sign the setup list with the private key: a \"serial\" line (N, by default\n"
    "the current UTC time in seconds), then the \"signature\" line; sign-list re-signs an\n"
    "existing list in place. check --keys verifies that signature: KEYS is public keys\n"
    "separated by commas, or a file holding them (publisher.pub).\n"
    "Exit codes: 0 all holds, 1 refused, 2 usage.\n";

fault_scope* g_scope = nullptr;  // the innermost

}  // namespace

fault_scope::fault_scope(FILE* stream, const std::string& lead)
    : stream_(stream), lead_(lead), told_(0), outer_(g_scope) {
    g_scope = this;
}

fault_scope::~fault_scope() { g_scope = outer_; }

void tool_error(const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    std::vector<char> text((size_t)std::max(vsnprintf(nullptr, 0, format, args), 0) + 1);
    vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    va_end(args);
    if (!g_scope) {
        fprintf(stderr, "stonewake-release: %s\n", text.data());
        return;
    }
    ++g_scope->told_;
    if (g_scope->stream_) fprintf(g_scope->stream_, "%s%s\n", g_scope->lead_.c_str(), text.data());
}

const std::string* options::get(const std::string& name) const {
    for (auto& kv : named)
        if (kv.first == name) return &kv.second;
    return nullptr;
}

std::string options::value(const std::string& name) const {
    const std::string* given = get(name);
    return given ? *given : std::string();
}

bool options::has(const std::string& flag) const {
    for (auto& f : flags)
        if (f == flag) return true;
    return false;
}

bool parse_options(int argc, char** argv, const std::vector<std::string>& valued,
                   const std::vector<std::string>& flagged, options& out) {
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.compare(0, 2, "--") != 0) {
            out.positional.push_back(arg);
            continue;
        }
        bool known = false;
        for (auto& v : valued) {
            if (arg != "--" + v) continue;
            if (i + 1 >= argc) {
                fprintf(stderr, "stonewake-release: %s needs a value\n", arg.c_str());
                return false;
            }
            out.named.emplace_back(v, argv[++i]);
            known = true;
        }
        for (auto& f : flagged)
            if (arg == "--" + f) out.flags.push_back(f), known = true;
        if (!known) {
            fprintf(stderr, "stonewake-release: unknown option %s\n", arg.c_str());
            return false;
        }
    }
    return true;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fputs(usage, stderr);
        return 2;
    }
    const char* command = argv[1];
    if (strcmp(command, "make") == 0) return cmd_make(argc - 2, argv + 2);
    if (strcmp(command, "check") == 0) return cmd_check(argc - 2, argv + 2);
    if (strcmp(command, "sign") == 0) return cmd_sign(argc - 2, argv + 2);
    if (strcmp(command, "verify") == 0) return cmd_verify(argc - 2, argv + 2);
    if (strcmp(command, "keygen") == 0) return cmd_keygen(argc - 2, argv + 2);
    if (strcmp(command, "sign-list") == 0) return cmd_sign_list(argc - 2, argv + 2);
    if (strcmp(command, "--help") == 0 || strcmp(command, "help") == 0) {
        fputs(usage, stdout);
        return 0;
    }
    fputs(usage, stderr);
    return 2;
}
