// pkgutil: the package database of an install root, as the Mac's tool reads and edits it.
// The database is <volume>/var/db/receipts, one property list <id>.plist per package, with
// PackageIdentifier, PackageVersion, InstallPrefixPath and, where the Mac keeps a bill of
// materials beside it, the array Files: the package's paths relative to the volume. The volume
// is --volume, else the root the program is installed in (<root>/usr/sbin/pkgutil).
// Exit status as the Mac's: 0 done, 1 for anything else (an unknown package, a usage error).
#include <plist/plist.h>

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::streamsize kMaxReceiptSize = std::streamsize(1) << 20;
constexpr size_t kMaxIdLength = 255;

const char* const kUsage =
    "usage: pkgutil [--volume PATH] [-f] COMMAND\n"
    "  --pkgs          the identifiers of every package in the database\n"
    "  --files ID      the paths package ID installed, relative to the volume\n"
    "  --forget ID     removes package ID from the database (its files stay)\n"
    "  --volume PATH   the database of the volume (install root) PATH\n"
    "  -f, --force     asks nothing before a change (nothing is asked anyway)\n";

int usageError(const char* reason)
{
    std::fprintf(stderr, "pkgutil: %s\n%s", reason, kUsage);
    return 1;
}

// A reverse-DNS identifier; nothing that could name a path outside the database.
bool validId(const std::string& id)
{
    if (id.empty() || id.size() > kMaxIdLength || id[0] == '.')
        return false;
    return std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
            c == '-' || c == '_';
    });
}

std::string installedVolume()
{
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string("/") : program.parent_path().parent_path().parent_path().string();
}

struct Database {
    std::string volume;
    fs::path folder;

    fs::path receipt(const std::string& id) const { return folder / (id + ".plist"); }

    bool knows(const std::string& id) const
    {
        std::error_code error;
        return validId(id) && fs::is_regular_file(receipt(id), error);
    }

    int noReceipt(const std::string& id) const
    {
        std::fprintf(stderr, "No receipt for '%s' found at '%s'.\n", id.c_str(), volume.c_str());
        return 1;
    }
};

// The receipt's paths; empty when it cannot be read or is not a receipt of `id`.
std::optional<std::vector<std::string>> receiptFiles(const Database& db, const std::string& id)
{
    std::ifstream in(db.receipt(id), std::ios::binary);
    std::string text(size_t(kMaxReceiptSize) + 1, '\0');
    in.read(text.data(), kMaxReceiptSize + 1);
    if (!in.eof() || in.gcount() == 0 || in.gcount() > kMaxReceiptSize)
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_xml(text.data(), uint32_t(in.gcount()), &root);
    if (root == nullptr)
        return std::nullopt;
    std::optional<std::vector<std::string>> files;
    plist_t name = plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, "PackageIdentifier") : nullptr;
    char* named = nullptr;
    if (name != nullptr && plist_get_node_type(name) == PLIST_STRING)
        plist_get_string_val(name, &named);
    plist_t list = plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, "Files") : nullptr;
    if (named != nullptr && id == named && (list == nullptr || plist_get_node_type(list) == PLIST_ARRAY)) {
        files.emplace();
        const uint32_t count = list != nullptr ? plist_array_get_size(list) : 0;
        for (uint32_t i = 0; i < count; ++i) {
            plist_t item = plist_array_get_item(list, i);
            char* path = nullptr;
            if (plist_get_node_type(item) == PLIST_STRING)
                plist_get_string_val(item, &path);
            const bool ok = path != nullptr && path[0] != '\0' && path[0] != '/';
            if (ok)
                files->emplace_back(path);
            free(path);
            if (!ok) {
                files.reset();
                break;
            }
        }
    }
    free(named);
    plist_free(root);
    return files;
}

int listPackages(const Database& db)
{
    std::vector<std::string> ids;
    std::error_code error;
    for (fs::directory_iterator it(db.folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path name = it->path().filename();
        if (name.extension() == ".plist" && validId(name.stem().string()) && it->is_regular_file(error))
            ids.push_back(name.stem().string());
    }
    if (error && error != std::errc::no_such_file_or_directory) {
        std::fprintf(stderr, "pkgutil: cannot read %s: %s\n", db.folder.c_str(), error.message().c_str());
        return 1;
    }
    std::sort(ids.begin(), ids.end());
    for (const std::string& id : ids)
        std::printf("%s\n", id.c_str());
    return 0;
}

int listFiles(const Database& db, const std::string& id)
{
    if (!db.knows(id))
        return db.noReceipt(id);
    const std::optional<std::vector<std::string>> files = receiptFiles(db, id);
    if (!files) {
        std::fprintf(stderr, "pkgutil: the receipt of '%s' cannot be read\n", id.c_str());
        return 1;
    }
    for (const std::string& f : *files)
        std::printf("%s\n", f.c_str());
    return 0;
}

int forget(const Database& db, const std::string& id)
{
    if (!db.knows(id))
        return db.noReceipt(id);
    if (unlink(db.receipt(id).c_str()) != 0) {
        std::fprintf(stderr, "pkgutil: cannot forget '%s': %s\n", id.c_str(), std::strerror(errno));
        return 1;
    }
    // The bill of materials, where one was kept beside the receipt, goes with it.
    unlink((db.folder / (id + ".bom")).c_str());
    std::printf("Forgot package '%s' on '%s'.\n", id.c_str(), db.volume.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string command, id;
    std::optional<std::string> volume;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool takesId = a == "--files" || a == "--forget";
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "-f" || a == "--force") {
            continue;
        } else if (a == "--volume") {
            if (i + 1 == argc)
                return usageError("--volume needs a path");
            volume = argv[++i];
        } else if (a == "--pkgs" || takesId) {
            if (!command.empty())
                return usageError("one command at a time");
            command = a;
            if (takesId) {
                if (i + 1 == argc)
                    return usageError((a + " needs a package identifier").c_str());
                id = argv[++i];
            }
        } else {
            return usageError(("unknown option " + a).c_str());
        }
    }
    if (command.empty())
        return usageError("no command");
    Database db;
    db.volume = volume ? *volume : installedVolume();
    db.folder = fs::path(db.volume) / "var/db/receipts";
    if (command == "--pkgs")
        return listPackages(db);
    if (command == "--files")
        return listFiles(db, id);
    return forget(db, id);
}
