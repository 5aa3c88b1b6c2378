// stonewake-release: what the commands share.
#ifndef STONEWAKE_RELEASE_TOOL_H
#define STONEWAKE_RELEASE_TOOL_H

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/core.h"
#include "core/index_core.h"

// The asset name and address scheme of a release on the forge.
constexpr const char* kSetupList = "tarnwick-setup.txt";
constexpr const char* kIndex = "tarnwick-index.txt";
constexpr const char* kDefaultRun = "StonewakeBuilder/StonewakeBuilder.exe";
constexpr const char* kRepository = "Stonewake/Stonewake";

int cmd_make(int argc, char** argv);
int cmd_check(int argc, char** argv);
int cmd_sign(int argc, char** argv);
int cmd_verify(int argc, char** argv);
int cmd_keygen(int argc, char** argv);
int cmd_sign_list(int argc, char** argv);

// A publisher's public key: X and Y of an ECDSA P-256 key.
typedef std::array<unsigned char, LIST_KEY_BYTES> list_key;

// ---- faults -------------------------------------------------------------------
// A fault is told where it is found, as one line: the lead of what the
// command is doing, then the fault. While a fault_scope lives, the faults
// found by what it calls are told on its stream (nowhere when that is null)
// with its lead, and counted; outside any, on stderr as "stonewake-release: ".
class fault_scope {
  public:
    fault_scope(FILE* stream, const std::string& lead);
    ~fault_scope();  // the scope around it is back
    fault_scope(const fault_scope&) = delete;
    fault_scope& operator=(const fault_scope&) = delete;
    unsigned told() const { return told_; }

  private:
    friend void tool_error(const char* format, ...);
    FILE* stream_;
    std::string lead_;
    unsigned told_;
    fault_scope* outer_;
};
// Tells a fault (printf's format) in the innermost fault_scope.
void tool_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The whole check of a release: LIST (a file or an https address), its parts
// from `parts_dir` or their addresses, the list's signature when `keys` is
// given, the reuse report against `previous` when given. Prints every
// problem and a last line; returns the exit code.
int check_release(const std::string& list, const std::string& parts_dir, const std::string& previous,
                  const std::string& cacert, const std::vector<list_key>* keys);

// Option parsing: "--name value" pairs after the positional arguments.
struct options {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> named;
    std::vector<std::string> flags;
    const std::string* get(const std::string& name) const;
    std::string value(const std::string& name) const;  // "" when not given
    bool has(const std::string& flag) const;
};
// Fills `out`; `valued` lists the options that take a value, `flagged` those
// that do not. Returns false (after a message) on anything else.
bool parse_options(int argc, char** argv, const std::vector<std::string>& valued,
                   const std::vector<std::string>& flagged, options& out);

// ---- files ------------------------------------------------------------------
bool read_file(const std::string& path, std::string& out);
bool write_file(const std::string& path, const std::string& data);  // whole: a temporary file, then a rename
bool make_folders(const std::string& path);  // the folder and its missing parents
// SHA-256 as 64 lower-case hex digits, and the size, of a whole file.
bool file_digest(const std::string& path, std::string& sha256, unsigned long long& size);
std::string sha256_hex(const std::string& data);
std::string hex(const unsigned char* bytes, unsigned length);  // lower-case
bool is_url(const std::string& text);

// A file fetched into a private temporary file, removed when this ends.
struct temp_file {
    std::string path;
    temp_file();
    ~temp_file();
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
};

// HTTPS GET into a file; only https, redirects only to https, certificates
// checked (against `cacert` when not empty). False after a fault.
bool fetch_to_file(const std::string& url, const std::string& cacert, const std::string& path);

// A file or an https address, read whole. False after a fault.
bool load_text(const std::string& where, const std::string& cacert, std::string& out);

// ---- zips -------------------------------------------------------------------
// Writes a deterministic zip of `source` (a folder or a file) to `zip_path`:
// the source's own name is the top entry, entries in byte order, fixed times
// and modes, deflate at level 6 or stored. False after a fault.
bool zip_write(const std::string& source, const std::string& zip_path, bool store);

struct zip_entry {
    std::string name;  // as stored
    bool folder;
    bool link;
    unsigned long long size;
};
// Lists a zip's entries, reading every entry's data through (so that a
// damaged entry or a wrong CRC is found). False after a fault.
bool zip_list(const std::string& zip_path, std::vector<zip_entry>& entries);

// Why an entry would not stay inside the folder it is unpacked into, or ""
// when it does: empty, rooted or drive names, ".." (also spelt with trailing
// dots or blanks, which Windows drops), control characters, links.
std::string entry_escape(const zip_entry& entry);

// ---- the index -----------------------------------------------------------------
// The core's central directory of `entries` (entry i's record at offsets[i])
// appended to `zip`, after its records; false, with `refusal` told, when it
// would need zip64.
bool directory_append(const std::vector<index_entry>& entries, const std::vector<unsigned long long>& offsets,
                      std::string& zip, const char* refusal);
// Verdicts of index_zip.
enum {
    ZIP_INDEXED = 0,
    ZIP_INDEX_WIDE = 1,   // a record or the directory lies beyond what the index holds (zip64)
    ZIP_INDEX_BROKEN = 2  // after a fault
};
// The index entries of a zip (its bytes), in the order of their records.
int index_zip(const std::string& zip, std::vector<index_entry>& entries);
std::string index_entry_line(const index_entry& entry);  // without its '\n'
std::string index_section(const std::string& part_sha256, const std::vector<index_entry>& entries);
// The core parser's verdict on `index` for `part`, with its entries.
int index_entries(const std::string& index, const part_record& part, std::vector<index_entry>& entries,
                  size_t& bad_line);

// ---- the setup list, line by line --------------------------------------------
struct list_finding {
    unsigned line;  // 1-based; 0 when no line is to blame
    std::string text;
};
struct text_line {
    unsigned number;  // 1-based
    std::string text;
};
// Physical lines as an editor numbers them: LF, CR LF and a lone CR each end one.
std::vector<text_line> text_lines(const std::string& body);
// A line as a message shows it: cut to 100 bytes, control bytes as '?'.
std::string shown(const std::string& text);
// Judges a setup list the way the setup does (the core's verdict) and, where
// it refuses, names the lines to blame. Fills `list` with the parse of the
// whole body. Returns the core's verdict; `findings` may also hold findings
// when the verdict is LIST_OK (more part lines than the setup takes).
int judge_list(const std::string& body, setup_list& list, std::vector<list_finding>& findings);

// ---- the signed list ------------------------------------------------------------
// --keys: public keys separated by commas, or a file holding them (publisher.pub).
// False after a message.
bool read_list_keys(const std::string& value, std::vector<list_key>& keys);
// --serial, or the current UTC time in seconds. False after a message.
bool serial_option(const options& given, unsigned long long& serial);
// `body` without its serial and signature lines (every other byte kept), then
// "serial <serial>" and "signature <r s hex>" signed with the PEM private key
// in `key_file`, whose public key is given back. False after a fault.
bool sign_list_body(const std::string& body, const std::string& key_file, unsigned long long serial,
                    std::string& out, list_key& public_key);
// Why the setup holding `keys` refuses the list's signing (none when it
// accepts it); the serial, and the number of the key that verified (from 1).
std::vector<std::string> list_signature_findings(const std::string& body, const std::vector<list_key>& keys,
                                                 unsigned long long& serial, unsigned& key_number);

// ---- the layout of an installed version --------------------------------------
// Files and folders as tar would unpack the parts of a list into a version
// folder, with the renames; names compared as Windows does (ASCII case).
class version_layout {
  public:
    // Unpacks one part's entries into `dir` ("." is the top), then renames
    // its top entry `from` to `to` unless either is "-" or `to` exists.
    void unpack(const part_record& part, const std::vector<zip_entry>& entries);
    bool has(const std::string& path) const;  // '\' or '/' separated
    bool builder_ready(const std::string& run, std::string& missing) const;

  private:
    struct node {
        bool folder;
        unsigned long long size;
    };
    std::map<std::string, node> nodes_;  // key: windows_key of the path
    void put(const std::string& key, bool folder, unsigned long long size);
};

std::string windows_key(const std::string& path);  // lower-case ASCII, '\' separators
// The windows_key of the path an entry of `part` gets in the version: below
// the part's dir, "." components dropped, its top `from` renamed to `to`.
std::string version_key(const part_record& part, const std::string& entry_name);
std::string archive_name(const part_record& part);  // the url after its last '/', decoded

#endif
