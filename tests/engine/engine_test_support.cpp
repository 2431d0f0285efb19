#include "engine_test_support.h"

#include <hivex.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "platform/emulation/names.h"
#include "platform/linux/utf.h"
#include "sample_volume.h"

namespace enginetest {

namespace fs = std::filesystem;

std::u16string upcased(const std::u16string& name) {
    std::u16string out = name;
    for (char16_t& unit : out) {
        unit = static_cast<char16_t>(emulation::upperCaseOf(static_cast<wchar_t>(unit)));
    }
    return out;
}

std::string utf8(const std::u16string& text) { return utf8FromWide(wideFromUtf16(text)); }

std::u16string utf16(const std::string& text) { return utf16FromWide(wideFromUtf8(text)); }

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

// The test's temporary files, removed when the program ends.
struct TemporaryFolder {
    fs::path path = fs::temp_directory_path() / ("tarnwick-engine-" + std::to_string(getpid()));
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

}  // namespace

std::string writeTemporary(const unsigned char* bytes, std::size_t size, const std::string& name) {
    static TemporaryFolder temporary;
    fs::create_directories(temporary.path);
    const std::string path = (temporary.path / name).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes),
                                                                  static_cast<std::streamsize>(size));
    return path;
}

std::vector<unsigned char> emptyHive(std::uint32_t minorVersion) {
    const std::string path = writeTemporary(nullptr, 0, "empty-" + std::to_string(minorVersion));
    std::string error;
    return sample::writeEmptyHive(path, minorVersion, error) ? readFile(path) : std::vector<unsigned char>();
}

std::unique_ptr<regf::Hive> openHive(std::vector<unsigned char> bytes, bool writable, Storage storage,
                                     std::uint64_t unreadableFrom) {
    std::unique_ptr<regf::Hive> hive;
    if (storage == Storage::vector) {
        regf::Hive::open(std::make_unique<regf::VectorStorage>(std::move(bytes)), writable, hive);
        return hive;
    }
    const std::size_t size = bytes.size();
    auto file = std::make_shared<std::vector<unsigned char>>(std::move(bytes));
    auto read = [file, unreadableFrom](std::uint64_t offset, unsigned char* to, std::size_t length) {
        if (offset + length > file->size() || (offset + length > 4096 && offset + length - 4096 > unreadableFrom)) {
            return false;
        }
        std::memcpy(to, file->data() + offset, length);
        return true;
    };
    regf::Hive::open(regf::PagedStorage::reserve(size, writable, read), writable, hive);
    return hive;
}

std::vector<unsigned char> imageOf(const regf::Hive& hive) {
    return std::vector<unsigned char>(hive.image(), hive.image() + hive.imageSize());
}

std::vector<unsigned char> writtenImage(const regf::Hive& hive, const std::vector<unsigned char>& original) {
    std::vector<unsigned char> image = original;
    image.resize(hive.imageSize());
    std::memcpy(image.data(), hive.image(), 4096);
    for (const std::uint32_t page : hive.dirtyPages()) {
        std::memcpy(&image[4096 * (page + 1)], hive.image() + 4096 * (page + 1), 4096);
    }
    return image;
}

namespace {

bool readKey(regf::Hive& hive, regf::KeyRef ref, TreeKey& key) {
    std::uint32_t count = 0;
    bool good = hive.keyName(ref, key.name) == ERROR_SUCCESS && hive.valueCount(ref, count) == ERROR_SUCCESS;
    for (std::uint32_t i = 0; good && i < count; ++i) {
        key.values.emplace_back();
        good = hive.valueName(ref, i, key.values.back().name) == ERROR_SUCCESS &&
               hive.readValue(ref, i, key.values.back().type, key.values.back().data) == ERROR_SUCCESS;
    }
    good = good && hive.childCount(ref, count) == ERROR_SUCCESS;
    std::u16string previous;
    for (std::uint32_t i = 0; good && i < count; ++i) {
        regf::KeyRef child = 0;
        regf::KeyRef found = 0;
        TreeKey sub;
        good = hive.childAt(ref, i, child) == ERROR_SUCCESS && readKey(hive, child, sub);
        // childAt gives Windows' order, which findChild's binary search needs.
        const std::u16string upper = upcased(sub.name);
        good = good && (i == 0 || previous < upper) && hive.findChild(ref, sub.name, found) == ERROR_SUCCESS &&
               found == child;
        previous = upper;
        key.children.emplace(upper, std::move(sub));
    }
    return good;
}

bool hivexKey(hive_h* hive, hive_node_h node, TreeKey& key) {
    auto text = [](char* owned) {
        const std::u16string out = owned == nullptr ? u"(null)" : utf16(owned);
        std::free(owned);
        return out;
    };
    key.name = text(hivex_node_name(hive, node));
    hive_value_h* values = hivex_node_values(hive, node);
    hive_node_h* children = hivex_node_children(hive, node);
    bool good = values != nullptr && children != nullptr;
    for (std::size_t i = 0; good && values[i] != 0; ++i) {
        // hivex hands the type over in its enum, which holds any number the
        // hive stores: it is read as the 32-bit number it is, never as the enum.
        hive_type type{};
        std::uint32_t number = 0;
        std::size_t length = 0;
        char* data = hivex_value_value(hive, values[i], &type, &length);
        std::memcpy(&number, &type, sizeof number);
        good = data != nullptr;
        key.values.push_back(TreeValue{text(hivex_value_key(hive, values[i])), number,
                                       std::vector<unsigned char>(data, data + (good ? length : 0)), true});
        std::free(data);
    }
    for (std::size_t i = 0; good && children[i] != 0; ++i) {
        TreeKey sub;
        good = hivexKey(hive, children[i], sub);
        key.children.emplace(upcased(sub.name), std::move(sub));
    }
    std::free(values);
    std::free(children);
    return good;
}

void describeKey(const TreeKey& key, const std::string& path, std::ostringstream& out) {
    out << path << "\n";
    for (const TreeValue& value : key.values) {
        out << path << " : " << utf8(value.name) << " type " << value.type;
        if (value.dataKnown) {
            const std::string_view bytes(reinterpret_cast<const char*>(value.data.data()), value.data.size());
            out << " size " << value.data.size() << " data " << std::hex << std::hash<std::string_view>()(bytes) << std::dec;
        }
        out << "\n";
    }
    for (const auto& [upper, child] : key.children) {
        describeKey(child, path + "\\" + utf8(child.name), out);
    }
}

}  // namespace

TreeKey readWithEngine(regf::Hive& hive) {
    TreeKey root;
    if (!readKey(hive, hive.root(), root)) {
        root.name = u"the engine failed to read this tree";
    }
    return root;
}

TreeKey readWithHivex(const std::string& path) {
    TreeKey root;
    hive_h* hive = hivex_open(path.c_str(), 0);
    if (hive == nullptr || !hivexKey(hive, hivex_root(hive), root)) {
        root.name = u"hivex failed: " + utf16(std::strerror(errno));
    }
    return hive == nullptr || hivex_close(hive) == 0 ? root : TreeKey();
}

// regfexport prints each key as "Key path: A\B" then each value as "Value:
// <index> <name>" ("(default)" for the empty name), "Type: <words>
// (REG_...)" or "Type: unknown", "Data size: N", and "Data:" followed by text
// on the same line or by a hex dump of 16 bytes a line.
TreeKey readWithRegfexport(const std::string& path) {
    TreeKey root;
    FILE* pipe = popen(("regfexport '" + path + "' 2>&1").c_str(), "r");
    std::string text;
    char buffer[65536];
    for (std::size_t got = 0; pipe != nullptr && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        text.append(buffer, got);
    }
    if (pipe == nullptr || pclose(pipe) != 0) {
        root.name = u"regfexport failed: " + utf16(text.substr(0, 2000));
        return root;
    }
    static const char* const types[] = {"NONE", "SZ", "EXPAND_SZ", "BINARY", "DWORD_LITTLE_ENDIAN", "DWORD_BIG_ENDIAN",
                                        "LINK", "MULTI_SZ", "RESOURCE_LIST", "FULL_RESOURCE_DESCRIPTOR",
                                        "RESOURCE_REQUIREMENTS_LIST", "QWORD_LITTLE_ENDIAN"};
    std::istringstream lines(text);
    std::string line;
    TreeKey* key = nullptr;
    TreeValue* value = nullptr;
    bool inDump = false;
    while (std::getline(lines, line)) {
        if (inDump && line.size() > 10 && line[8] == ':') {
            for (std::size_t j = 0; j < 16; ++j) {
                const std::size_t at = 10 + j * 3 + (j >= 8 ? 1 : 0);
                if (at + 1 >= line.size() || !std::isxdigit(static_cast<unsigned char>(line[at]))) {
                    break;
                }
                value->data.push_back(static_cast<unsigned char>(std::stoul(line.substr(at, 2), nullptr, 16)));
            }
            continue;
        }
        inDump = false;
        if (line.rfind("Key path: ", 0) == 0) {
            value = nullptr;
            key = &root;
            std::istringstream parts(line.substr(10));
            std::string part;
            for (bool first = true; std::getline(parts, part, '\\'); first = false) {
                const std::u16string name = utf16(part);
                key = first ? key : &key->children[upcased(name)];
                key->name = name;
            }
        } else if (line.rfind("Value: ", 0) == 0 && key != nullptr) {
            const std::size_t space = line.find(' ', 7);
            const std::string name = space == std::string::npos ? "" : line.substr(space + 1);
            key->values.push_back(TreeValue{name == "(default)" ? u"" : utf16(name), 0xFFFFFFFFu, {}, false});
            value = &key->values.back();
        } else if (line.rfind("Type: ", 0) == 0 && value != nullptr) {
            for (std::uint32_t t = 0; t < 12; ++t) {
                if (line.find("(REG_" + std::string(types[t]) + ")") != std::string::npos) {
                    value->type = t;
                }
            }
        } else if (line.rfind("Data:", 0) == 0 && value != nullptr) {
            inDump = value->dataKnown = line == "Data:";
        }
    }
    return root;
}

void maskUnknownData(TreeKey& model, TreeKey& reader, bool readsBigData) {
    for (std::size_t i = 0; i < model.values.size() && i < reader.values.size(); ++i) {
        // libregf 20201007 reads 1 to 3 bytes of data kept in the vk from the
        // end of its data field, not from the start where the regf format
        // notes put them (hivex reads them from the start).
        const std::size_t size = model.values[i].data.size();
        model.values[i].dataKnown = reader.values[i].dataKnown && (size == 0 || size >= 4) &&
                                    (readsBigData || size <= 16344);
        reader.values[i].dataKnown = model.values[i].dataKnown;
        // regfexport names the types it knows and calls the others "unknown".
        if (reader.values[i].type == 0xFFFFFFFFu && model.values[i].type > 11) {
            model.values[i].type = 0xFFFFFFFFu;
        }
    }
    for (auto& [upper, child] : model.children) {
        const auto other = reader.children.find(upper);
        if (other != reader.children.end()) {
            maskUnknownData(child, other->second, readsBigData);
        }
    }
}

std::string difference(const std::string& got, const std::string& expected) {
    const auto [a, b] = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    auto lineAround = [](const std::string& text, std::string::const_iterator at) {
        const std::size_t start = text.rfind('\n', at == text.begin() ? 0 : at - text.begin() - 1);
        const std::size_t from = start == std::string::npos ? 0 : start + 1;
        return "\"" + text.substr(from, text.find('\n', from) - from) + "\"";
    };
    return a == got.end() && b == expected.end() ? "" : "got " + lineAround(got, a) + ", expected " + lineAround(expected, b);
}

std::string describe(const TreeKey& root) {
    std::ostringstream out;
    describeKey(root, utf8(root.name), out);
    return out.str();
}

}  // namespace enginetest
