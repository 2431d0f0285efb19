#include "engine_test_support.h"

#include <hivex.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/emulation/names.h"
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

std::string utf8(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string utf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        std::uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) {
            c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += 1 + extra;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::vector<unsigned char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

// The test's temporary files, removed when the program ends.
struct TemporaryFolder {
    fs::path path = fs::temp_directory_path() / ("tarnwick-engine-" + std::to_string(getpid()));
    ~TemporaryFolder() {
        if (std::getenv("TARNWICK_KEEP_TEMPORARIES") != nullptr) {
            return;
        }
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

}  // namespace

std::string writeTemporary(const unsigned char* bytes, std::size_t size, const std::string& name) {
    static TemporaryFolder temporary;
    const fs::path& folder = temporary.path;
    fs::create_directories(folder);
    const std::string path = (folder / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    return path;
}

std::vector<unsigned char> emptyHive(std::uint32_t minorVersion) {
    const std::string path = writeTemporary(nullptr, 0, "empty-" + std::to_string(minorVersion));
    std::string error;
    if (!sample::writeEmptyHive(path, minorVersion, error)) {
        return {};
    }
    return readFile(path);
}

std::unique_ptr<regf::Hive> openHive(std::vector<unsigned char> bytes, bool writable) {
    std::unique_ptr<regf::Hive> hive;
    if (regf::Hive::open(std::make_unique<regf::VectorStorage>(std::move(bytes)), writable, hive) != ERROR_SUCCESS) {
        return nullptr;
    }
    return hive;
}

namespace {

bool readKey(regf::Hive& hive, regf::KeyRef ref, TreeKey& key, std::string& error) {
    std::uint32_t count = 0;
    if (hive.keyName(ref, key.name) != ERROR_SUCCESS || hive.valueCount(ref, count) != ERROR_SUCCESS) {
        error = "engine: cannot read a key or its value count";
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        TreeValue value;
        if (hive.valueName(ref, i, value.name) != ERROR_SUCCESS ||
            hive.readValue(ref, i, value.type, value.data) != ERROR_SUCCESS) {
            error = "engine: cannot read value " + std::to_string(i) + " of " + utf8(key.name);
            return false;
        }
        key.values.push_back(std::move(value));
    }
    if (hive.childCount(ref, count) != ERROR_SUCCESS) {
        error = "engine: no subkey count for " + utf8(key.name);
        return false;
    }
    std::u16string previous;
    for (std::uint32_t i = 0; i < count; ++i) {
        regf::KeyRef child = 0;
        TreeKey sub;
        if (hive.childAt(ref, i, child) != ERROR_SUCCESS || !readKey(hive, child, sub, error)) {
            if (error.empty()) {
                error = "engine: no subkey " + std::to_string(i) + " of " + utf8(key.name);
            }
            return false;
        }
        // childAt gives Windows' order, which findChild's search relies on.
        const std::u16string upper = upcased(sub.name);
        regf::KeyRef found = 0;
        if ((i > 0 && !(previous < upper)) || hive.findChild(ref, sub.name, found) != ERROR_SUCCESS || found != child) {
            error = "engine: subkey " + utf8(sub.name) + " of " + utf8(key.name) + " out of order or not found";
            return false;
        }
        previous = upper;
        key.children.emplace(upper, std::move(sub));
    }
    return true;
}

bool hivexKey(hive_h* hive, hive_node_h node, TreeKey& key, std::string& error) {
    char* name = hivex_node_name(hive, node);
    if (name == nullptr) {
        error = "hivex: a key without a name";
        return false;
    }
    key.name = utf16(name);
    std::free(name);
    hive_value_h* values = hivex_node_values(hive, node);
    if (values == nullptr) {
        error = "hivex: no values for " + utf8(key.name);
        return false;
    }
    for (std::size_t i = 0; values[i] != 0; ++i) {
        TreeValue value;
        char* valueName = hivex_value_key(hive, values[i]);
        hive_type type;
        std::size_t length = 0;
        char* data = hivex_value_value(hive, values[i], &type, &length);
        if (valueName == nullptr || data == nullptr) {
            std::free(valueName);
            std::free(data);
            std::free(values);
            error = "hivex: an unreadable value in " + utf8(key.name);
            return false;
        }
        value.name = utf16(valueName);
        value.type = static_cast<std::uint32_t>(type);
        value.data.assign(data, data + length);
        std::free(valueName);
        std::free(data);
        key.values.push_back(std::move(value));
    }
    std::free(values);
    hive_node_h* children = hivex_node_children(hive, node);
    if (children == nullptr) {
        error = "hivex: no subkeys for " + utf8(key.name);
        return false;
    }
    bool good = true;
    for (std::size_t i = 0; good && children[i] != 0; ++i) {
        TreeKey sub;
        good = hivexKey(hive, children[i], sub, error);
        key.children.emplace(upcased(sub.name), std::move(sub));
    }
    std::free(children);
    return good;
}

std::uint64_t fnv(const std::vector<unsigned char>& data) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char byte : data) {
        hash = (hash ^ byte) * 1099511628211ull;
    }
    return hash;
}

void describeKey(const TreeKey& key, const std::string& path, std::ostringstream& out) {
    out << path << "\n";
    for (const TreeValue& value : key.values) {
        out << path << " : " << utf8(value.name) << " type " << value.type;
        // regfexport's size of a value it prints as text is that of the text.
        if (value.dataKnown) {
            out << " size " << value.data.size() << " data " << std::hex << fnv(value.data) << std::dec;
        }
        out << "\n";
    }
    for (const auto& [upper, child] : key.children) {
        describeKey(child, path + "\\" + utf8(child.name), out);
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

bool readWithEngine(regf::Hive& hive, TreeKey& root, std::string& error) {
    root = TreeKey();
    return readKey(hive, hive.root(), root, error);
}

bool readWithHivex(const std::string& path, TreeKey& root, std::string& error) {
    root = TreeKey();
    hive_h* hive = hivex_open(path.c_str(), 0);
    if (hive == nullptr) {
        error = "hivex cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool good = hivexKey(hive, hivex_root(hive), root, error);
    hivex_close(hive);
    return good;
}

// regfexport prints each key as "Key path: A\B" and "Key: B", then each value
// as "Value: <index> <name>" ("(default)" for the empty name), "Type: ...
// (REG_...)", "Data size: N" and "Data:" followed either by text on the same
// line or by a hex dump of 16 bytes a line.
bool readWithRegfexport(const std::string& path, TreeKey& root, std::string& error) {
    root = TreeKey();
    const std::string command = "regfexport '" + path + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        error = "cannot run regfexport";
        return false;
    }
    std::string text;
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        text.append(buffer, got);
    }
    const int status = pclose(pipe);
    if (status != 0) {
        error = "regfexport failed (" + std::to_string(status) + "): " + text.substr(0, 2000);
        return false;
    }
    std::istringstream lines(text);
    std::string line;
    TreeKey* key = nullptr;
    TreeValue* value = nullptr;
    bool inDump = false;
    std::uint32_t expectedSize = 0;
    auto finishValue = [&]() {
        if (value != nullptr && !inDump && value->data.empty()) {
            value->data.assign(expectedSize, 0);
        }
        inDump = false;
    };
    while (std::getline(lines, line)) {
        if (inDump) {
            if (line.size() > 10 && line[8] == ':') {
                for (std::size_t j = 0; j < 16; ++j) {
                    const std::size_t at = 10 + j * 3 + (j >= 8 ? 1 : 0);
                    if (at + 1 >= line.size() || hexDigit(line[at]) < 0 || hexDigit(line[at + 1]) < 0) {
                        break;
                    }
                    value->data.push_back(static_cast<unsigned char>(hexDigit(line[at]) * 16 + hexDigit(line[at + 1])));
                }
                continue;
            }
            inDump = false;
        }
        if (line.rfind("Key path: ", 0) == 0) {
            finishValue();
            value = nullptr;
            // Each path's keys are created on the way; the root is the first part.
            const std::u16string keyPath = utf16(line.substr(10));
            key = &root;
            std::size_t start = keyPath.find(u'\\');
            root.name = keyPath.substr(0, start);
            while (start != std::u16string::npos) {
                const std::size_t end = keyPath.find(u'\\', start + 1);
                const std::u16string part = keyPath.substr(start + 1, end == std::u16string::npos ? end : end - start - 1);
                TreeKey& next = key->children[upcased(part)];
                next.name = part;
                key = &next;
                start = end;
            }
        } else if (line.rfind("Value: ", 0) == 0 && key != nullptr) {
            finishValue();
            const std::size_t space = line.find(' ', 7);
            std::string name = space == std::string::npos ? "" : line.substr(space + 1);
            key->values.emplace_back();
            value = &key->values.back();
            value->name = name == "(default)" ? u"" : utf16(name);
        } else if (line.rfind("Type: ", 0) == 0 && value != nullptr) {
            const std::size_t open = line.rfind("(0x");
            const std::size_t reg = line.rfind("(REG_");
            static const std::map<std::string, std::uint32_t> types = {
                {"REG_NONE", 0}, {"REG_SZ", 1}, {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3}, {"REG_DWORD_LITTLE_ENDIAN", 4},
                {"REG_DWORD", 4}, {"REG_DWORD_BIG_ENDIAN", 5}, {"REG_LINK", 6}, {"REG_MULTI_SZ", 7},
                {"REG_RESOURCE_LIST", 8}, {"REG_FULL_RESOURCE_DESCRIPTOR", 9}, {"REG_RESOURCE_REQUIREMENTS_LIST", 10},
                {"REG_QWORD", 11}, {"REG_QWORD_LITTLE_ENDIAN", 11}};
            if (reg != std::string::npos) {
                const auto known = types.find(line.substr(reg + 1, line.find(')', reg) - reg - 1));
                value->type = known == types.end() ? 0xFFFFFFFFu : known->second;
            } else if (open != std::string::npos) {
                value->type = static_cast<std::uint32_t>(std::stoul(line.substr(open + 1), nullptr, 16));
            } else {
                value->type = 0xFFFFFFFFu;
            }
        } else if (line.rfind("Data size: ", 0) == 0 && value != nullptr) {
            expectedSize = static_cast<std::uint32_t>(std::stoul(line.substr(11)));
        } else if (line.rfind("Data:", 0) == 0 && value != nullptr) {
            inDump = line == "Data:";
            value->dataKnown = inDump || expectedSize == 0;
        }
    }
    finishValue();
    return true;
}

void maskUnknownData(TreeKey& model, TreeKey& reader, bool readsBigData) {
    for (std::size_t i = 0; i < model.values.size() && i < reader.values.size(); ++i) {
        // libregf 20201007 reads 1 to 3 bytes of data kept in the vk from the
        // end of its data field, not from the start where the regf format
        // notes put them (hivex reads them from the start).
        const std::size_t size = model.values[i].data.size();
        model.values[i].dataKnown = model.values[i].dataKnown && reader.values[i].dataKnown && (size == 0 || size >= 4) &&
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
    std::istringstream a(got);
    std::istringstream b(expected);
    std::string x;
    std::string y;
    for (int line = 1;; ++line) {
        const bool more = static_cast<bool>(std::getline(a, x));
        const bool moreExpected = static_cast<bool>(std::getline(b, y));
        if (!more && !moreExpected) {
            return "";
        }
        if (!more || !moreExpected || x != y) {
            return "line " + std::to_string(line) + ": got \"" + (more ? x : "(end)") + "\", expected \"" +
                   (moreExpected ? y : "(end)") + "\"";
        }
    }
}

std::string describe(const TreeKey& root) {
    std::ostringstream out;
    describeKey(root, utf8(root.name), out);
    return out.str();
}

}  // namespace enginetest
