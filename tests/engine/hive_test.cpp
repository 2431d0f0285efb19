// Damaged images: each is refused with ERROR_BADDB, when it is opened or when
// the damaged part is used, and never makes the engine crash, read or write
// out of bounds or loop (run under the host-asan preset too).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine_test_support.h"

using namespace enginetest;

namespace {

// A sound image: root\a (values of 2, 100 and 40,000 bytes) and root\a\b.
std::vector<unsigned char> soundImage() {
    std::unique_ptr<regf::Hive> hive = openHive(emptyHive(5), true);
    regf::KeyRef a = 0;
    regf::KeyRef b = 0;
    const std::vector<unsigned char> data(40000, 0x5A);
    if (!hive || hive->addChild(hive->root(), u"a", a) != ERROR_SUCCESS ||
        hive->addChild(a, u"b", b) != ERROR_SUCCESS ||
        hive->setValue(a, regf::newValue, u"small", 3, data.data(), 2) != ERROR_SUCCESS ||
        hive->setValue(a, regf::newValue, u"cell", 3, data.data(), 100) != ERROR_SUCCESS ||
        hive->setValue(a, regf::newValue, u"big", 3, data.data(), data.size()) != ERROR_SUCCESS) {
        return {};
    }
    hive->finishBaseBlock(3, 0);
    return std::vector<unsigned char>(hive->image(), hive->image() + hive->imageSize());
}

// Fields of the image, by bins offset.
struct Image {
    std::vector<unsigned char> bytes;
    std::uint32_t get(std::uint32_t at) const {
        std::uint32_t value = 0;
        std::memcpy(&value, bytes.data() + 4096 + at, 4);
        return value;
    }
    void put(std::uint32_t at, std::uint32_t value) { std::memcpy(bytes.data() + 4096 + at, &value, 4); }
    std::uint32_t getBase(std::uint32_t at) const {
        std::uint32_t value = 0;
        std::memcpy(&value, bytes.data() + at, 4);
        return value;
    }
    std::uint32_t root() const { return getBase(36); }
    std::uint32_t rootList() const { return get(root() + 32); }
    std::uint32_t keyA() const { return get(rootList() + 8); }
    std::uint32_t valuesOfA() const { return get(keyA() + 44); }
    std::uint32_t value(int index) const { return get(valuesOfA() + 4 + 4 * index); }
    void putBase(std::uint32_t at, std::uint32_t value) { std::memcpy(bytes.data() + at, &value, 4); }
    // After a change to the base block, its checksum again.
    void seal() {
        std::uint32_t sum = 0;
        for (std::uint32_t at = 0; at < 508; at += 4) {
            std::uint32_t word = 0;
            std::memcpy(&word, bytes.data() + at, 4);
            sum ^= word;
        }
        putBase(508, sum == 0 ? 1 : sum == 0xFFFFFFFFu ? 0xFFFFFFFEu : sum);
    }
};

// What is done with a hive that opened: a status it must give.
using Use = std::function<LONG(regf::Hive&)>;

LONG keyA(regf::Hive& hive, regf::KeyRef& a) { return hive.findChild(hive.root(), u"a", a); }

const Use childCount = [](regf::Hive& hive) {
    std::uint32_t count = 0;
    return hive.childCount(hive.root(), count);
};
const Use findA = [](regf::Hive& hive) {
    regf::KeyRef a = 0;
    return keyA(hive, a);
};
const Use readAll = [](regf::Hive& hive) {
    TreeKey tree;
    std::string error;
    return readWithEngine(hive, tree, error) ? ERROR_SUCCESS : ERROR_BADDB;
};
const Use deleteA = [](regf::Hive& hive) {
    regf::KeyRef a = 0;
    const LONG found = keyA(hive, a);
    return found != ERROR_SUCCESS ? found : hive.deleteKeyTree(a);
};
const Use replaceBig = [](regf::Hive& hive) {
    regf::KeyRef a = 0;
    const unsigned char data[8] = {};
    const LONG found = keyA(hive, a);
    return found != ERROR_SUCCESS ? found : hive.setValue(a, 2, u"big", 3, data, sizeof data);
};
const Use addUnderA = [](regf::Hive& hive) {
    regf::KeyRef a = 0;
    regf::KeyRef c = 0;
    const LONG found = keyA(hive, a);
    return found != ERROR_SUCCESS ? found : hive.addChild(a, u"c", c);
};

struct Damage {
    const char* what;
    std::function<void(Image&)> damage;
    bool opens;     // whether a writable open (which walks every bin) succeeds
    Use use;        // then must give ERROR_BADDB, writable or read-only
    bool readOnlySees = true;  // false where only the walk can tell (a cell start from a cell's middle)
};

}  // namespace

TEST(EngineHive, DamagedImagesAreRefused) {
    const std::vector<unsigned char> sound = soundImage();
    ASSERT_FALSE(sound.empty());
    const std::vector<Damage> damages = {
        {"cut inside the bins", [](Image& i) { i.bytes.resize(4096 + 2048); }, false, nullptr},
        {"cut inside the base block", [](Image& i) { i.bytes.resize(100); }, false, nullptr},
        {"no regf signature", [](Image& i) { i.bytes[0] = 'x'; i.seal(); }, false, nullptr},
        {"wrong checksum", [](Image& i) { i.bytes[508] ^= 1; }, false, nullptr},
        {"sequence numbers differ", [](Image& i) { i.putBase(8, 9); i.seal(); }, false, nullptr},
        {"minor version 7", [](Image& i) { i.putBase(24, 7); i.seal(); }, false, nullptr},
        {"bins size not a multiple of 4096", [](Image& i) { i.putBase(40, i.getBase(40) - 8); i.seal(); }, false, nullptr},
        {"bins size beyond the image", [](Image& i) { i.putBase(40, 0x10000000); i.seal(); }, false, nullptr},
        {"root cell out of the bins", [](Image& i) { i.putBase(36, 0x7FFFFFF8); i.seal(); }, false, nullptr},
        {"root in the middle of its cell", [](Image& i) { i.putBase(36, i.root() + 8); i.seal(); }, false, nullptr},
        {"root a free cell", [](Image& i) { i.put(i.root(), -i.get(i.root())); }, false, nullptr},
        {"bad hbin signature", [](Image& i) { i.bytes[4096] = 'x'; }, false, readAll},
        {"hbin offset wrong", [](Image& i) { i.put(4, 4096); }, false, readAll},
        {"hbin size beyond the bins", [](Image& i) { i.put(8, 0x100000); }, false, readAll},
        {"cell of size 0", [](Image& i) { i.put(i.keyA() + (0u - i.get(i.keyA())), 0); }, false, readAll},
        {"cell size not a multiple of 8", [](Image& i) { i.put(i.keyA(), i.get(i.keyA()) - 4); }, false, readAll},
        {"cell crossing its bin", [](Image& i) { i.put(i.keyA(), static_cast<std::uint32_t>(-0x2000)); }, false, readAll},
        {"subkey list in a cell's middle", [](Image& i) { i.put(i.root() + 32, i.rootList() + 8); }, true, findA},
        {"key made up inside a data cell", [](Image& i) {
             // A well-formed nk in the middle of the 100-byte value's cell.
             const std::uint32_t fake = i.get(i.value(1) + 12) + 8;
             i.put(fake, static_cast<std::uint32_t>(-88));
             i.put(fake + 4, 0x00206B6E);  // "nk", compressed name
             for (std::uint32_t at = 8; at < 76; at += 4) {
                 i.put(fake + at, at == 48 ? i.get(i.keyA() + 48) : 0);
             }
             i.put(fake + 76, 1);
             i.put(fake + 80, 'a');
             i.put(i.rootList() + 8, fake);
         }, true, readAll, false},
        {"subkey count above the list's", [](Image& i) { i.put(i.root() + 24, 2); }, true, childCount},
        {"list count beyond its cell", [](Image& i) { i.put(i.rootList() + 4, 0x40006C6C); }, true, findA},
        {"ri pointing to itself", [](Image& i) {
             i.put(i.rootList() + 4, 0x00016972);  // "ri", one entry
             i.put(i.rootList() + 8, i.rootList());
         }, true, findA},
        {"ri pointing to a key", [](Image& i) { i.put(i.rootList() + 4, 0x00016972); }, true, childCount},
        {"subkey that is its own parent", [](Image& i) {
             const std::uint32_t listOfA = i.get(i.keyA() + 32);
             i.put(listOfA + 8, i.keyA());
         }, true, deleteA},
        {"value list out of the bins", [](Image& i) { i.put(i.keyA() + 44, 0x7FFFFF00); }, true, readAll},
        {"value count beyond its list", [](Image& i) { i.put(i.keyA() + 40, 1000); }, true, readAll},
        {"inline data longer than 4 bytes", [](Image& i) { i.put(i.value(0) + 8, 0x80000010); }, true, readAll},
        {"data cell shorter than the data", [](Image& i) { i.put(i.value(1) + 8, 200); }, true, readAll},
        {"data in the middle of a cell", [](Image& i) { i.put(i.value(1) + 12, i.get(i.value(1) + 12) + 8); }, true, readAll},
        {"data pointing at its own vk", [](Image& i) { i.put(i.value(1) + 12, i.value(1)); }, true, deleteA},
        {"big data with a segment missing", [](Image& i) { i.put(i.value(2) + 8, 3 * 16344 + 1); }, true, replaceBig},
        {"big data segment in a cell's middle", [](Image& i) {
             const std::uint32_t list = i.get(i.get(i.value(2) + 12) + 8);
             i.put(list + 4, i.get(list + 4) + 16);
         }, true, readAll},
        {"key without a security cell", [](Image& i) { i.put(i.keyA() + 48, 0xFFFFFFFF); }, true, addUnderA},
        {"security cell without references", [](Image& i) { i.put(i.get(i.keyA() + 48) + 16, 0); }, true, deleteA},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        Image image{sound};
        damage.damage(image);
        std::unique_ptr<regf::Hive> writable;
        const LONG opened = regf::Hive::open(std::make_unique<regf::VectorStorage>(image.bytes), true, writable);
        EXPECT_EQ(opened, damage.opens ? ERROR_SUCCESS : ERROR_BADDB);
        if (writable) {
            ASSERT_TRUE(damage.use);
            EXPECT_EQ(damage.use(*writable), ERROR_BADDB);
            // Nothing was changed half way: the image may still be written back.
            EXPECT_FALSE(writable->broken());
        }
        // Read-only, the bins are not walked: the damage is met where it is used.
        std::unique_ptr<regf::Hive> readOnly;
        if (regf::Hive::open(std::make_unique<regf::VectorStorage>(image.bytes), false, readOnly) == ERROR_SUCCESS) {
            // What only the walk sees (bins and cell sizes) may go unnoticed.
            if (damage.use) {
                const LONG used = damage.use(*readOnly);
                EXPECT_TRUE(!damage.opens || !damage.readOnlySees || used == ERROR_BADDB || used == ERROR_ACCESS_DENIED)
                    << used;
            }
        } else {
            EXPECT_FALSE(damage.opens);
        }
    }
}
