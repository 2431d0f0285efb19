// Lays out an offline Windows volume with many profiles whose hives have a
// realistic size and shape (thousands of keys, a few values each), for the
// crash test and the benchmark.
//
//   make_large_volume DRIVE --users N [--classes-kib 1024,2048,...]
//       [--big-every K --big-kib S] [--software-kib S] [--templates DIR]
//       [--dirty-every D [--dirty-changes-per-mib C]] [--logs-every L]
//
// One template hive is made per size class and copied for every user of that
// class, as images made from one master are: fast, and the same bytes the
// tool would meet. Templates are kept in --templates (default DRIVE/..) so
// that volumes of several sizes share them.
//
// With --dirty-every D, every D-th user's hive (users 0, D, 2D, ...) is left
// dirty as a running Windows 8.1 or later leaves it: C keys per MiB of hive
// (default 16) got new values that reached NTUSER.DAT.LOG1, as one new-format
// log entry, but not the file; NTUSER.DAT.LOG2 is empty.
//
// With --logs-every L, every L-th of the other users' hives (users 1, 1 + L,
// 1 + 2L, ...) is clean with new-format logs beside it, as Windows leaves a
// hive once it has written its logged changes into the file: the same hive
// with those changes in it, numbered above the entry that NTUSER.DAT.LOG1
// still holds; NTUSER.DAT.LOG2 is empty.
#include <hivex.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "log_writer.h"
#include "platform/offline/replay/regf_fields.h"
#include "unique_hive.h"
#include "sample_volume.h"

namespace fs = std::filesystem;

namespace {

// Deterministic, so a template of a class is the same on every machine.
struct Random {
    std::uint64_t state;
    std::uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state >> 33);
    }
    std::uint32_t below(std::uint32_t n) { return next() % n; }
};

// Value names and data may hold backslashes; key names may not.
std::string words(Random& r, std::size_t length, bool backslashes = true) {
    static const char* const pieces[] = {"Microsoft", "Windows", "Explorer", "Settings", "Contoso", "Fabrikam",
                                          "Recent",    "Policies", "Shell",   "Bags",     "MRUList", "Layout",
                                          "Advanced",  "Cache",    "Store",   "Profile",  "Update",  "Options"};
    std::string out;
    while (out.size() < length) {
        if (!out.empty()) {
            out += backslashes && r.below(3) == 0 ? '\\' : ' ';
        }
        out += pieces[r.below(sizeof pieces / sizeof pieces[0])];
    }
    out.resize(length);
    return out;
}

struct Filler {
    hive_h* h;
    Random random;
    std::size_t budget;  // bytes still to add, estimated from the cells written
    std::size_t keys = 0;

    // One key's values: strings, DWORDs and now and then a binary blob (MRU
    // lists, window placements), as user hives hold them.
    void fillValues(hive_node_h node) {
        const std::uint32_t count = 2 + random.below(7);
        std::vector<std::string> names(count);
        std::vector<std::string> data(count);
        std::vector<hive_set_value> values(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            names[i] = "Value" + std::to_string(i) + words(random, 4 + random.below(12));
            const std::uint32_t kind = random.below(10);
            hive_type type;
            if (kind < 5) {
                type = hive_t_REG_SZ;
                data[i] = sample::utf16z(words(random, 8 + random.below(120)));
            } else if (kind < 8) {
                type = hive_t_REG_DWORD;
                data[i].assign(4, '\0');
                const std::uint32_t v = random.next();
                std::memcpy(&data[i][0], &v, 4);
            } else {
                type = hive_t_REG_BINARY;
                data[i].resize(64 + random.below(1200));
                for (char& c : data[i]) {
                    c = static_cast<char>(random.next());
                }
            }
            values[i].key = names[i].data();
            values[i].t = type;
            values[i].len = data[i].size();
            values[i].value = data[i].data();
            const std::size_t cost = 24 + names[i].size() + (data[i].size() > 4 ? data[i].size() + 8 : 0);
            budget = budget > cost ? budget - cost : 0;
        }
        if (hivex_node_set_values(h, node, values.size(), values.data(), 0) != 0) {
            std::fprintf(stderr, "make_large_volume: cannot set values: %s\n", std::strerror(errno));
            std::exit(1);
        }
    }

    hive_node_h addKey(hive_node_h parent, const std::string& name) {
        const hive_node_h child = hivex_node_add_child(h, parent, name.c_str());
        if (child == 0) {
            std::fprintf(stderr, "make_large_volume: cannot add key %s: %s\n", name.c_str(), std::strerror(errno));
            std::exit(1);
        }
        ++keys;
        const std::size_t cost = 96 + name.size() + 16;
        budget = budget > cost ? budget - cost : 0;
        return child;
    }

    // A tree three levels deep under the parent, at most 40 children per key
    // (hivex rewrites a key's whole subkey list on every add).
    void fillTree(hive_node_h parent) {
        for (int vendor = 0; budget > 0; ++vendor) {
            const hive_node_h v = addKey(parent, "Vendor" + std::to_string(vendor) + " " + words(random, 6, false));
            fillValues(v);
            for (int product = 0; product < 20 && budget > 0; ++product) {
                const hive_node_h p = addKey(v, "Product" + std::to_string(product));
                fillValues(p);
                for (int section = 0; section < 40 && budget > 0; ++section) {
                    fillValues(addKey(p, "Section" + std::to_string(section) + words(random, 5, false)));
                }
            }
        }
    }
};

void fail(const std::string& what) {
    std::fprintf(stderr, "make_large_volume: %s\n", what.c_str());
    std::exit(1);
}

// An empty hive filled until it is about `kib` KiB, with the sample user
// hive's well-known keys on top.
void makeTemplate(const std::string& path, std::size_t kib, std::uint64_t seed) {
    std::string error;
    const std::string partial = path + ".partial";
    if (!sample::writeEmptyHive(partial, 5, error) ||
        !sample::fillHive(partial,
                          {sample::text("Control Panel\\Desktop", "Wallpaper", "C:\\Windows\\Web\\img0.jpg"),
                           sample::text("Environment", "TEMP", "%USERPROFILE%\\AppData\\Local\\Temp", 2),
                           sample::key("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer")},
                          error)) {
        fail(error);
    }
    UniqueHive hive(hivex_open(partial.c_str(), HIVEX_OPEN_WRITE));
    hive_h* h = hive.get();
    if (h == nullptr) {
        fail("hivex cannot open " + partial);
    }
    errno = 0;
    hive_node_h software = hivex_node_get_child(h, hivex_root(h), "Software");
    // The estimate leaves out lists and bin slack, about a fifth of the file.
    Filler filler{h, Random{seed}, kib * 1024 * 4 / 5};
    filler.fillTree(software);
    if (hivex_commit(h, nullptr, 0) != 0) {
        fail("cannot commit " + partial);
    }
    hive.reset();
    fs::rename(partial, path);
    std::fprintf(stderr, "template %s: %zu keys, %ju bytes\n", path.c_str(), filler.keys,
                 static_cast<std::uintmax_t>(fs::file_size(path)));
}

void allKeys(hive_h* h, hive_node_h node, std::vector<hive_node_h>& out) {
    out.push_back(node);
    const UniqueMalloc<hive_node_h> children(hivex_node_children(h, node));
    for (const hive_node_h* child = children.get(); child && *child != 0; ++child) {
        allKeys(h, *child, out);
    }
}

logwriter::Bytes readFile(const fs::path& path) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        fail("cannot read " + path.string());
    }
    logwriter::Bytes bytes(static_cast<std::size_t>(fs::file_size(path)));
    if (std::fread(bytes.data(), 1, bytes.size(), in) != bytes.size()) {
        fail("cannot read " + path.string());
    }
    std::fclose(in);
    return bytes;
}

void writeFile(const fs::path& path, const logwriter::Bytes& bytes) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || std::fclose(out) != 0) {
        fail("cannot write " + path.string());
    }
}

struct DirtyTemplate {
    fs::path primary;
    fs::path log1;
    fs::path reconciled;  // the primary once its log was written into it
};

// The dirty form of a template: new values for `changesPerMib` keys per MiB,
// spread evenly over the hive, written by hivex to a copy; the difference
// logged as one entry, and the primary left with the old bins.
DirtyTemplate dirtyTemplateOf(const fs::path& clean, std::size_t changesPerMib) {
    const std::string stem = clean.string() + ".dirty" + std::to_string(changesPerMib);
    const DirtyTemplate made{stem, stem + ".LOG1", stem + ".reconciled"};
    if (fs::exists(made.primary) && fs::exists(made.log1) && fs::exists(made.reconciled)) {
        return made;
    }
    const fs::path after = stem + ".after";
    fs::copy_file(clean, after, fs::copy_options::overwrite_existing);
    {
        UniqueHive hive(hivex_open(after.c_str(), HIVEX_OPEN_WRITE));
        if (!hive) {
            fail("hivex cannot open " + after.string());
        }
        std::vector<hive_node_h> keys;
        allKeys(hive.get(), hivex_root(hive.get()), keys);
        const std::size_t changes =
            std::max<std::size_t>(1, changesPerMib * static_cast<std::size_t>(fs::file_size(clean)) / (1024 * 1024));
        Filler filler{hive.get(), Random{0xd1e7u + changes}, static_cast<std::size_t>(-1)};
        for (std::size_t i = 0; i < changes; ++i) {
            filler.fillValues(keys[(i * keys.size()) / changes]);
        }
        if (hivex_commit(hive.get(), nullptr, 0) != 0) {
            fail("cannot commit " + after.string());
        }
    }
    logwriter::Bytes reconciled = readFile(after);
    const logwriter::DirtyHive dirty = logwriter::dirtyWithNewLog(readFile(clean), reconciled);
    fs::remove(after);
    // The entry is numbered with the old hive's sequence number; the hive
    // that holds it is one above.
    const std::uint32_t entry = hivelog::readDword(dirty.primary.data() + hivelog::secondarySequenceAt);
    logwriter::setSequences(reconciled, entry + 1, entry + 1);
    writeFile(made.log1.string() + ".partial", dirty.log1);
    writeFile(made.primary.string() + ".partial", dirty.primary);
    writeFile(made.reconciled.string() + ".partial", reconciled);
    fs::rename(made.log1.string() + ".partial", made.log1);
    fs::rename(made.primary.string() + ".partial", made.primary);
    fs::rename(made.reconciled.string() + ".partial", made.reconciled);
    return made;
}

std::vector<std::size_t> parseList(const char* text) {
    std::vector<std::size_t> out;
    for (const char* p = text; *p != '\0';) {
        char* end = nullptr;
        out.push_back(std::strtoull(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p != '\0') {
            fail(std::string("bad list: ") + text);
        }
    }
    return out;
}

std::string sidOf(std::size_t user) { return "S-1-5-21-1111111111-2222222222-3333333333-" + std::to_string(1001 + user); }

std::string folderOf(std::size_t user) {
    char name[32];
    std::snprintf(name, sizeof name, "user%04zu", user);
    return name;
}

}  // namespace

int main(int argc, char** argv) {
    // A leading option (--help) is no drive: refuse it rather than make a volume named after it.
    if (argc < 2 || argv[1][0] == '-' || argc % 2 != 0) {
        std::fprintf(stderr, "usage: make_large_volume DRIVE --users N [--classes-kib A,B,...] [--big-every K "
                             "--big-kib S] [--software-kib S] [--templates DIR]\n"
                             "       [--dirty-every D [--dirty-changes-per-mib C]] [--logs-every L]\n");
        return 2;
    }
    const fs::path drive(argv[1]);
    std::size_t users = 10;
    std::vector<std::size_t> classes = {1024, 2048, 2048, 3072, 3072, 4096};
    std::size_t bigEvery = 0;
    std::size_t bigKib = 16384;
    std::size_t softwareKib = 0;
    std::size_t dirtyEvery = 0;
    std::size_t changesPerMib = 16;
    std::size_t logsEvery = 0;
    fs::path templates = drive.parent_path() / "templates";
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--users") {
            users = std::strtoull(value, nullptr, 10);
        } else if (option == "--classes-kib") {
            classes = parseList(value);
        } else if (option == "--big-every") {
            bigEvery = std::strtoull(value, nullptr, 10);
        } else if (option == "--big-kib") {
            bigKib = std::strtoull(value, nullptr, 10);
        } else if (option == "--software-kib") {
            softwareKib = std::strtoull(value, nullptr, 10);
        } else if (option == "--dirty-every") {
            dirtyEvery = std::strtoull(value, nullptr, 10);
        } else if (option == "--dirty-changes-per-mib") {
            changesPerMib = std::strtoull(value, nullptr, 10);
        } else if (option == "--logs-every") {
            logsEvery = std::strtoull(value, nullptr, 10);
        } else if (option == "--templates") {
            templates = value;
        } else {
            fail("unknown option " + option);
        }
    }
    if (classes.empty()) {
        fail("no size classes");
    }
    fs::create_directories(templates);
    auto templateOf = [&](std::size_t kib) {
        const fs::path path = templates / ("user-" + std::to_string(kib) + "k.hive");
        if (!fs::exists(path)) {
            makeTemplate(path.string(), kib, 0x5eed0000u + kib);
        }
        return path;
    };

    for (const char* folder : {"Windows/System32/config", "Users/Default"}) {
        fs::create_directories(drive / folder);
    }
    // The machine's SOFTWARE hive: a bulk of other settings (copied from a
    // template) and the profile list of this volume.
    const fs::path software = drive / "Windows/System32/config/SOFTWARE";
    if (softwareKib > 0) {
        fs::copy_file(templateOf(softwareKib), software, fs::copy_options::overwrite_existing);
    } else {
        std::string error;
        if (!sample::writeEmptyHive(software.string(), 5, error)) {
            fail(error);
        }
    }
    const std::string list = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    std::vector<sample::Entry> entries = {
        sample::text(list, "Default", "%SystemDrive%\\Users\\Default", 2),
        sample::text(list, "ProfilesDirectory", "%SystemDrive%\\Users", 2),
        sample::text(list + "\\S-1-5-18", "ProfileImagePath", "%systemroot%\\system32\\config\\systemprofile", 2),
    };
    for (std::size_t user = 0; user < users; ++user) {
        entries.push_back(sample::text(list + "\\" + sidOf(user), "ProfileImagePath",
                                       "%SystemDrive%\\Users\\" + folderOf(user), 2));
    }
    std::string error;
    if (!sample::fillHive(software.string(), entries, error)) {
        fail(error);
    }

    fs::copy_file(templateOf(classes[0]), drive / "Users/Default/NTUSER.DAT", fs::copy_options::overwrite_existing);
    std::uintmax_t total = 0;
    std::uintmax_t logs = 0;
    std::size_t dirtyHives = 0;
    std::size_t loggedHives = 0;
    for (std::size_t user = 0; user < users; ++user) {
        const bool big = bigEvery > 0 && user % bigEvery == bigEvery / 2;
        const fs::path folder = drive / "Users" / folderOf(user);
        fs::create_directories(folder);
        const fs::path hive = folder / "NTUSER.DAT";
        const fs::path clean = templateOf(big ? bigKib : classes[user % classes.size()]);
        const bool dirty = dirtyEvery > 0 && user % dirtyEvery == 0;
        const bool logged = !dirty && logsEvery > 0 && user % logsEvery == 1 % logsEvery;
        if (dirty || logged) {
            // The same change, left in the log only (dirty) or in the file too.
            const DirtyTemplate made = dirtyTemplateOf(clean, changesPerMib);
            fs::copy_file(dirty ? made.primary : made.reconciled, hive, fs::copy_options::overwrite_existing);
            fs::copy_file(made.log1, folder / "NTUSER.DAT.LOG1", fs::copy_options::overwrite_existing);
            writeFile(folder / "NTUSER.DAT.LOG2", {});
            logs += fs::file_size(made.log1);
            ++(dirty ? dirtyHives : loggedHives);
        } else {
            fs::copy_file(clean, hive, fs::copy_options::overwrite_existing);
        }
        total += fs::file_size(hive);
    }
    std::printf("%zu users, %ju bytes of user hives, SOFTWARE %ju bytes, %zu dirty hives and %zu clean hives with "
                "new-format logs, %ju bytes of logs\n",
                users, total, static_cast<std::uintmax_t>(fs::file_size(software)), dirtyHives, loggedHives, logs);
    return 0;
}
