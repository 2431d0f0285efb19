#include "sample_volume.h"

#include <hivex.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/emulation/path_components.h"
#include "unique_hive.h"

namespace sample {

namespace {

void putU16(std::string& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}

void putU32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

std::uint32_t getU32(const std::string& b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(b[at + i]);
    }
    return v;
}

// A FILETIME of 2024-01-01, so that the files are the same on every run.
constexpr std::uint64_t sampleTime = 133485408000000000ULL;

std::string sid(std::uint8_t authority, const std::vector<std::uint32_t>& subauthorities) {
    std::string s(8 + 4 * subauthorities.size(), '\0');
    s[0] = 1;
    s[1] = static_cast<char>(subauthorities.size());
    s[7] = static_cast<char>(authority);
    for (std::size_t i = 0; i < subauthorities.size(); ++i) {
        putU32(s, 8 + 4 * i, subauthorities[i]);
    }
    return s;
}

std::string allowAce(const std::string& who) {
    std::string ace(8, '\0');
    ace[0] = 0;     // ACCESS_ALLOWED_ACE_TYPE
    ace[1] = 0x02;  // CONTAINER_INHERIT_ACE
    putU16(ace, 2, static_cast<std::uint16_t>(8 + who.size()));
    putU32(ace, 4, 0xF003F);  // KEY_ALL_ACCESS
    return ace + who;
}

// Self-relative descriptor: owner Administrators, group SYSTEM, a DACL that
// gives both full control.
std::string securityDescriptor() {
    const std::string admins = sid(5, {32, 544});
    const std::string system = sid(5, {18});
    const std::string aces = allowAce(system) + allowAce(admins);
    std::string acl(8, '\0');
    acl[0] = 2;
    putU16(acl, 2, static_cast<std::uint16_t>(8 + aces.size()));
    putU16(acl, 4, 2);
    acl += aces;
    std::string sd(20, '\0');
    sd[0] = 1;
    putU16(sd, 2, 0x8004);  // SE_SELF_RELATIVE | SE_DACL_PRESENT
    putU32(sd, 4, 20);
    putU32(sd, 8, static_cast<std::uint32_t>(20 + admins.size()));
    putU32(sd, 16, static_cast<std::uint32_t>(20 + admins.size() + system.size()));
    return sd + admins + system + acl;
}

std::size_t aligned(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

std::string utf16le(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) {
        auto unit = [&out](std::uint32_t u) {
            out += static_cast<char>(u & 0xFF);
            out += static_cast<char>(u >> 8);
        };
        if (c >= 0x10000) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(c);
        }
    }
    return out;
}

std::u32string fromUtf8(const std::string& s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        char32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < s.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        out += c;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

}  // namespace

bool writeEmptyHive(const std::string& path, std::uint32_t minorVersion, std::string& error) {
    constexpr std::size_t rootCell = 0x20;
    const std::string rootName = "ROOT";
    const std::size_t nkSize = aligned(4 + 76 + rootName.size());
    const std::string descriptor = securityDescriptor();
    const std::size_t skCell = rootCell + nkSize;
    const std::size_t skSize = aligned(4 + 20 + descriptor.size());

    std::string bin(4096, '\0');
    std::memcpy(&bin[0], "hbin", 4);
    putU32(bin, 4, 0);
    putU32(bin, 8, 4096);
    putU32(bin, 20, static_cast<std::uint32_t>(sampleTime));
    putU32(bin, 24, static_cast<std::uint32_t>(sampleTime >> 32));

    std::size_t nk = rootCell;
    putU32(bin, nk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(nkSize)));
    std::memcpy(&bin[nk + 4], "nk", 2);
    putU16(bin, nk + 6, 0x2C);  // hive entry, no delete, compressed name
    putU32(bin, nk + 8, static_cast<std::uint32_t>(sampleTime));
    putU32(bin, nk + 12, static_cast<std::uint32_t>(sampleTime >> 32));
    putU32(bin, nk + 20, 0xFFFFFFFF);  // parent
    putU32(bin, nk + 32, 0xFFFFFFFF);  // subkey list
    putU32(bin, nk + 36, 0xFFFFFFFF);  // volatile subkey list
    putU32(bin, nk + 44, 0xFFFFFFFF);  // value list
    putU32(bin, nk + 48, static_cast<std::uint32_t>(skCell));
    putU32(bin, nk + 52, 0xFFFFFFFF);  // class
    putU16(bin, nk + 76, static_cast<std::uint16_t>(rootName.size()));
    std::memcpy(&bin[nk + 80], rootName.data(), rootName.size());

    std::size_t sk = skCell;
    putU32(bin, sk, static_cast<std::uint32_t>(-static_cast<std::int32_t>(skSize)));
    std::memcpy(&bin[sk + 4], "sk", 2);
    putU32(bin, sk + 8, static_cast<std::uint32_t>(skCell));   // flink: itself
    putU32(bin, sk + 12, static_cast<std::uint32_t>(skCell));  // blink: itself
    putU32(bin, sk + 16, 1);                                   // reference count
    putU32(bin, sk + 20, static_cast<std::uint32_t>(descriptor.size()));
    std::memcpy(&bin[sk + 24], descriptor.data(), descriptor.size());

    const std::size_t freeCell = skCell + skSize;
    putU32(bin, freeCell, static_cast<std::uint32_t>(4096 - freeCell));

    std::string base(4096, '\0');
    std::memcpy(&base[0], "regf", 4);
    putU32(base, 4, 1);
    putU32(base, 8, 1);
    putU32(base, 12, static_cast<std::uint32_t>(sampleTime));
    putU32(base, 16, static_cast<std::uint32_t>(sampleTime >> 32));
    putU32(base, 20, 1);
    putU32(base, 24, minorVersion);
    putU32(base, 28, 0);
    putU32(base, 32, 1);
    putU32(base, 36, static_cast<std::uint32_t>(rootCell));
    putU32(base, 40, 4096);
    putU32(base, 44, 1);
    const std::string fileName = utf16le(fromUtf8("\\??\\C:\\sample\\hive"));
    std::memcpy(&base[48], fileName.data(), std::min<std::size_t>(fileName.size(), 64));
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 127; ++i) {
        sum ^= getU32(base, i * 4);
    }
    putU32(base, 508, sum == 0 ? 1 : sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << base << bin;
    out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

std::string utf16z(const std::string& utf8) { return utf16le(fromUtf8(utf8)) + std::string(2, '\0'); }

Entry key(const std::string& path) { return Entry{path, "", 0, ""}; }

Entry text(const std::string& path, const std::string& name, const std::string& utf8, std::uint32_t type) {
    return Entry{path, name, type, utf16z(utf8)};
}

Entry dword(const std::string& path, const std::string& name, std::uint32_t value) {
    std::string data(4, '\0');
    putU32(data, 0, value);
    return Entry{path, name, 4, data};
}

bool fillHive(const std::string& path, const std::vector<Entry>& entries, std::string& error) {
    const UniqueHive hive(hivex_open(path.c_str(), HIVEX_OPEN_WRITE));
    hive_h* h = hive.get();
    if (h == nullptr) {
        error = "hivex cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    for (const Entry& entry : entries) {
        hive_node_h node = hivex_root(h);
        for (const std::string& part : splitPathComponents(entry.key, std::string("\\"))) {
            errno = 0;
            hive_node_h child = hivex_node_get_child(h, node, part.c_str());
            if (child == 0 && errno == 0) {
                child = hivex_node_add_child(h, node, part.c_str());
            }
            if (child == 0) {
                error = "cannot make key " + entry.key + " in " + path;
                ok = false;
                break;
            }
            node = child;
        }
        if (!ok) {
            break;
        }
        if (entry.type == 0 && entry.name.empty() && entry.data.empty()) {
            continue;
        }
        hive_set_value value;
        value.key = const_cast<char*>(entry.name.c_str());
        value.t = static_cast<hive_type>(entry.type);
        value.len = entry.data.size();
        value.value = const_cast<char*>(entry.data.data());
        if (hivex_node_set_value(h, node, &value, 0) != 0) {
            error = "cannot set " + entry.key + "\\" + entry.name + " in " + path;
            ok = false;
            break;
        }
    }
    if (ok && hivex_commit(h, nullptr, 0) != 0) {
        error = "cannot commit " + path + ": " + std::strerror(errno);
        ok = false;
    }
    return ok;
}

const char* const classesHiveFolder = "AppData/Local/Microsoft/Windows";

const std::vector<SampleUser>& sampleUsers() {
    const std::string classes = std::string(classesHiveFolder) + "/UsrClass.dat";
    static const std::vector<SampleUser> users = {
        {"S-1-5-21-3623811015-3361044348-30300820-1001", "%SystemDrive%\\Users\\Alice", "alice", "ntuser.dat",
         classes},
        {"S-1-5-21-3623811015-3361044348-30300820-1002", "C:\\Users\\Bob", "bob", "NTUSER.DAT",
         "appdata/local/microsoft/windows/usrclass.dat"},
        {"S-1-12-1-2847362731-1183476298-3456078251-2934587162", "%SystemDrive%\\Users\\JanNowak", "JanNowak",
         "NtUser.dat", classes},
        {"S-1-5-21-3623811015-3361044348-30300820-1003", "%SystemDrive%\\Users\\Carol", "", "", ""},
        {"S-1-5-21-3623811015-3361044348-30300820-1004", "C:\\Users\\TEMP", "", "", ""},
        {"S-1-5-21-3623811015-3361044348-30300820-1004.bak", "%SystemDrive%\\Users\\Dave", "Dave", "NTUSER.DAT",
         classes},
        // Her classes hive is missing, though its folder is there.
        {"S-1-5-21-3623811015-3361044348-30300820-1005", "%SystemDrive%\\Users\\Zoë", "Zoë", "NTUSER.DAT", ""},
    };
    return users;
}

bool makeSampleVolume(const std::string& drive, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root(drive);
    for (const char* folder : {"Windows/System32/config/systemprofile", "Windows/ServiceProfiles/LocalService",
                               "Windows/ServiceProfiles/NetworkService", "Users/Default", "Users/Public",
                               "ProgramData"}) {
        fs::create_directories(root / folder, ec);
        if (ec) {
            error = "cannot make " + (root / folder).string() + ": " + ec.message();
            return false;
        }
    }

    const std::string list = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    std::vector<Entry> software = {
        key("Microsoft\\Windows\\CurrentVersion"),
        text("Microsoft\\Windows NT\\CurrentVersion", "ProductName", "Windows 10 Pro"),
        text(list, "Default", "%SystemDrive%\\Users\\Default", 2),
        text(list, "ProfilesDirectory", "%SystemDrive%\\Users", 2),
        text(list, "ProgramData", "%SystemDrive%\\ProgramData", 2),
        text(list, "Public", "%SystemDrive%\\Users\\Public", 2),
        text(list + "\\S-1-5-18", "ProfileImagePath", "%systemroot%\\system32\\config\\systemprofile", 2),
        dword(list + "\\S-1-5-18", "Flags", 12),
        text(list + "\\S-1-5-19", "ProfileImagePath", "%systemroot%\\ServiceProfiles\\LocalService", 2),
        text(list + "\\S-1-5-20", "ProfileImagePath", "%systemroot%\\ServiceProfiles\\NetworkService", 2),
    };
    for (const SampleUser& user : sampleUsers()) {
        software.push_back(text(list + "\\" + user.sid, "ProfileImagePath", user.profilePath, 2));
        software.push_back(dword(list + "\\" + user.sid, "State", 0));
    }
    const std::string softwarePath = (root / "Windows/System32/config/SOFTWARE").string();
    if (!writeEmptyHive(softwarePath, 5, error) || !fillHive(softwarePath, software, error)) {
        return false;
    }

    auto userHive = [&](const fs::path& file, const std::string& who) {
        const std::vector<Entry> entries = {
            text("Control Panel\\Desktop", "Wallpaper", "C:\\Windows\\Web\\Wallpaper\\Windows\\img0.jpg"),
            text("Environment", "TEMP", "%USERPROFILE%\\AppData\\Local\\Temp", 2),
            text("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", "Owner", who),
            dword("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced", "HideFileExt", 0),
        };
        return writeEmptyHive(file.string(), 5, error) && fillHive(file.string(), entries, error);
    };
    // A classes hive as Windows fills it: file associations, COM classes,
    // and Explorer's per-folder settings under Local Settings.
    auto classesHive = [&](const fs::path& file, const std::string& who) {
        const std::vector<Entry> entries = {
            text(".sample", "Content Type", "text/plain"),
            key("CLSID"),
            key("Wow6432Node\\CLSID"),
            text("Local Settings\\Software\\Microsoft\\Windows\\Shell", "Owner", who),
        };
        return writeEmptyHive(file.string(), 5, error) && fillHive(file.string(), entries, error);
    };
    if (!userHive(root / "Users/Default/NTUSER.DAT", "Default") ||
        !userHive(root / "Windows/System32/config/systemprofile/ntuser.dat", "SYSTEM")) {
        return false;
    }
    // The Default profile has the folder, but no classes hive.
    fs::create_directories(root / "Users/Default" / classesHiveFolder, ec);
    for (const SampleUser& user : sampleUsers()) {
        if (user.folder.empty()) {
            continue;
        }
        const fs::path folder = root / "Users" / user.folder;
        fs::create_directories(user.classesHive.empty() ? folder / classesHiveFolder
                                                        : (folder / user.classesHive).parent_path(),
                               ec);
        if (ec || !userHive(folder / user.hiveName, user.folder) ||
            (!user.classesHive.empty() && !classesHive(folder / user.classesHive, user.folder))) {
            if (error.empty()) {
                error = "cannot make the folder of " + user.folder;
            }
            return false;
        }
    }
    return true;
}

}  // namespace sample
