// Damaged images: each is refused with ERROR_BADDB, when it is opened or when
// the damaged part is used, and never makes the engine crash, read or write
// out of bounds or loop (run under the host-asan preset too).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine_test_support.h"
#include "platform/offline/replay/hive_log.h"

using namespace enginetest;

namespace {

// A sound image: root\a (values of 2, 100 and 40,000 bytes) and root\a\b.
std::vector<unsigned char> soundImage() {
    std::unique_ptr<regf::Hive> hive = openHive(emptyHive(5), true);
    regf::KeyRef a = 0;
    const std::vector<unsigned char> data(40000, 0x5A);
    const bool made = hive && hive->addChild(hive->root(), u"a", a) == ERROR_SUCCESS &&
                      hive->addChild(a, u"b", *std::make_unique<regf::KeyRef>()) == ERROR_SUCCESS &&
                      hive->setValue(a, regf::newValue, u"small", 3, data.data(), 2) == ERROR_SUCCESS &&
                      hive->setValue(a, regf::newValue, u"cell", 3, data.data(), 100) == ERROR_SUCCESS &&
                      hive->setValue(a, regf::newValue, u"big", 3, data.data(), data.size()) == ERROR_SUCCESS;
    if (made) {
        hive->finishBaseBlock(3, 0);
    }
    return made ? imageOf(*hive) : std::vector<unsigned char>();
}

// Fields of the image: by bins offset, and of the base block.
struct Image {
    std::vector<unsigned char> bytes;
    std::uint32_t get(std::uint32_t at) const { return hivelog::readDword(&bytes[4096 + at]); }
    void put(std::uint32_t at, std::uint32_t value) { hivelog::writeDword(&bytes[4096 + at], value); }
    std::uint32_t root() const { return hivelog::readDword(&bytes[36]); }
    std::uint32_t rootList() const { return get(root() + 32); }
    std::uint32_t keyA() const { return get(rootList() + 8); }
    std::uint32_t value(int index) const { return get(get(keyA() + 44) + 4 + 4 * index); }
    std::uint32_t segment(int index) const { return get(get(get(value(2) + 12) + 8) + 4 + 4 * index); }
    // The start of the bin that holds a cell, found from its header.
    std::uint32_t binOf(std::uint32_t cell) const {
        std::uint32_t bin = cell / 4096 * 4096;
        while (bin > 0 && std::memcmp(&bytes[4096 + bin], "hbin", 4) != 0) {
            bin -= 4096;
        }
        return bin;
    }
    // A base block field, the checksum made right again.
    void putBase(std::uint32_t at, std::uint32_t value) {
        hivelog::writeDword(&bytes[at], value);
        hivelog::writeDword(&bytes[508], hivelog::baseBlockChecksum(bytes.data()));
    }
};

// What is done with a hive that opened, which must then give ERROR_BADDB.
enum class Use { none, childCount, findA, readAll, deleteA, replaceBig, addUnderA, addHuge };

LONG apply(regf::Hive& hive, Use use) {
    regf::KeyRef a = 0;
    std::uint32_t count = 0;
    const unsigned char data[8] = {};
    const LONG found = hive.findChild(hive.root(), u"a", a);
    switch (use) {
    case Use::childCount: return hive.childCount(hive.root(), count);
    // A tree the engine cannot read comes back with a root named for that.
    case Use::readAll: return readWithEngine(hive).name == u"ROOT" ? ERROR_SUCCESS : ERROR_BADDB;
    case Use::deleteA: return found != ERROR_SUCCESS ? found : hive.deleteKeyTree(a);
    case Use::replaceBig: return found != ERROR_SUCCESS ? found : hive.setValue(a, 2, u"big", 3, data, sizeof data);
    case Use::addUnderA: return found != ERROR_SUCCESS ? found : hive.addChild(a, u"c", a);
    // Needs more room than any free cell has: every bin is walked first.
    case Use::addHuge: {
        const std::vector<unsigned char> huge(200000, 1);
        return found != ERROR_SUCCESS ? found : hive.setValue(a, regf::newValue, u"huge", 3, huge.data(), huge.size());
    }
    default: return found;
    }
}

struct Damage {
    const char* what;
    std::function<void(Image&)> damage;
    bool opens;  // whether an open (which walks the root's bin) succeeds
    Use use;     // then, writable or read-only
    bool breaks = false;  // the change met the damage after it wrote: the hive is not to be written back
};

}  // namespace

TEST(EngineHive, DamagedImagesAreRefused) {
    const std::vector<unsigned char> sound = soundImage();
    ASSERT_FALSE(sound.empty());
    const std::vector<Damage> damages = {
        {"cut inside the bins", [](Image& i) { i.bytes.resize(4096 + 2048); }, false, Use::none},
        {"no regf signature", [](Image& i) { i.putBase(0, 0x66676572 + 1); }, false, Use::none},
        {"wrong checksum", [](Image& i) { i.bytes[508] ^= 1; }, false, Use::none},
        {"sequence numbers differ", [](Image& i) { i.putBase(8, 9); }, false, Use::none},
        {"minor version 7", [](Image& i) { i.putBase(24, 7); }, false, Use::none},
        {"bins size not a multiple of 4096", [](Image& i) { i.putBase(40, hivelog::readDword(&i.bytes[40]) - 8); }, false, Use::none},
        {"bins size beyond the image", [](Image& i) { i.putBase(40, 0x10000000); }, false, Use::none},
        {"root cell out of the bins", [](Image& i) { i.putBase(36, 0x7FFFFFF8); }, false, Use::none},
        {"root in the middle of its cell", [](Image& i) { i.putBase(36, i.root() + 8); }, false, Use::none},
        {"root a free cell", [](Image& i) { i.put(i.root(), -i.get(i.root())); }, false, Use::none},
        {"bad hbin signature", [](Image& i) { i.bytes[4096] = 'x'; }, false, Use::readAll},
        {"hbin offset wrong", [](Image& i) { i.put(4, 4096); }, false, Use::readAll},
        {"hbin size beyond the bins", [](Image& i) { i.put(8, 0x100000); }, false, Use::readAll},
        {"cell of size 0", [](Image& i) { i.put(i.keyA() + (0u - i.get(i.keyA())), 0); }, false, Use::readAll},
        {"cell size not a multiple of 8", [](Image& i) { i.put(i.keyA(), i.get(i.keyA()) - 4); }, false, Use::readAll},
        {"cell crossing its bin", [](Image& i) { i.put(i.keyA(), static_cast<std::uint32_t>(-0x2000)); }, false, Use::readAll},
        {"subkey list in a cell's middle", [](Image& i) { i.put(i.root() + 32, i.rootList() + 8); }, true, Use::findA},
        {"key copied into the middle of a data cell", [](Image& i) {
             const std::uint32_t copy = i.get(i.value(1) + 12) + 8;
             std::memcpy(&i.bytes[4096 + copy], &i.bytes[4096 + i.keyA()], 0u - i.get(i.keyA()));
             i.put(i.rootList() + 8, copy);
         }, true, Use::readAll},
        {"subkey count above the list's", [](Image& i) { i.put(i.root() + 24, 2); }, true, Use::childCount},
        {"list count beyond its cell", [](Image& i) { i.put(i.rootList() + 4, 0x40006C6C); }, true, Use::findA},
        {"ri pointing to itself", [](Image& i) {
             i.put(i.rootList() + 4, 0x00016972);  // "ri", one entry
             i.put(i.rootList() + 8, i.rootList());
         }, true, Use::findA},
        {"subkey that is its own parent", [](Image& i) {
             const std::uint32_t listOfA = i.get(i.keyA() + 32);
             i.put(listOfA + 8, i.keyA());
         }, true, Use::deleteA},
        {"value list out of the bins", [](Image& i) { i.put(i.keyA() + 44, 0x7FFFFF00); }, true, Use::readAll},
        {"value count beyond its list", [](Image& i) { i.put(i.keyA() + 40, 1000); }, true, Use::readAll},
        {"inline data longer than 4 bytes", [](Image& i) { i.put(i.value(0) + 8, 0x80000010); }, true, Use::readAll},
        {"data cell shorter than the data", [](Image& i) { i.put(i.value(1) + 8, 200); }, true, Use::readAll},
        {"data in the middle of a cell", [](Image& i) { i.put(i.value(1) + 12, i.get(i.value(1) + 12) + 8); }, true, Use::readAll},
        {"data pointing at its own vk", [](Image& i) { i.put(i.value(1) + 12, i.value(1)); }, true, Use::deleteA},
        {"big data with a segment missing", [](Image& i) { i.put(i.value(2) + 8, 3 * 16344 + 1); }, true, Use::replaceBig},
        {"big data segment in a cell's middle", [](Image& i) {
             const std::uint32_t list = i.get(i.get(i.value(2) + 12) + 8);
             i.put(list + 4, i.get(list + 4) + 16);
         }, true, Use::readAll},
        {"key without a security cell", [](Image& i) { i.put(i.keyA() + 48, 0xFFFFFFFF); }, true, Use::addUnderA},
        {"security cell without references", [](Image& i) { i.put(i.get(i.keyA() + 48) + 16, 0); }, true, Use::deleteA},
        {"a bin that only a read walks, without its signature",
         [](Image& i) { i.bytes[4096 + i.binOf(i.segment(0))] = 'x'; }, true, Use::readAll},
        {"a bin that only the search for room walks, without its signature",
         [](Image& i) { i.bytes[4096 + i.binOf(i.segment(2))] = 'x'; }, true, Use::addHuge, true},
        {"a bin whose size skips the next bin's header",
         [](Image& i) { i.put(i.binOf(i.segment(1)) + 8, i.get(i.binOf(i.segment(1)) + 8) + 4096); }, true, Use::addHuge, true},
    };
    for (const Damage& damage : damages) {
        for (const Storage storage : {Storage::vector, Storage::paged}) {
            SCOPED_TRACE(std::string(damage.what) + (storage == Storage::paged ? ", paged" : ""));
            Image image{sound};
            damage.damage(image);
            std::unique_ptr<regf::Hive> writable = openHive(image.bytes, true, storage);
            EXPECT_EQ(writable != nullptr, damage.opens);
            if (writable) {
                EXPECT_EQ(apply(*writable, damage.use), ERROR_BADDB);
                EXPECT_EQ(writable->broken(), damage.breaks);
            }
            // Read-only, the damage is met where it is used as well.
            std::unique_ptr<regf::Hive> readOnly = openHive(image.bytes, false, storage);
            EXPECT_EQ(readOnly != nullptr, damage.opens);
            if (readOnly && damage.use != Use::none) {
                const LONG used = apply(*readOnly, damage.use);
                EXPECT_TRUE(used == ERROR_BADDB || used == ERROR_ACCESS_DENIED) << used;
            }
        }
    }
}

// A file that cannot be read past some point: what needs those pages is
// refused, and a change that had written before it met them leaves a hive
// that is not to be written back.
TEST(EngineHive, UnreadablePagesRefuseWhatNeedsThem) {
    const std::vector<unsigned char> sound = soundImage();
    ASSERT_FALSE(sound.empty());
    const Image image{sound};
    const std::uint32_t segments = image.binOf(image.segment(0));
    std::unique_ptr<regf::Hive> hive = openHive(sound, true, Storage::paged, segments);
    ASSERT_NE(hive, nullptr);
    regf::KeyRef a = 0;
    ASSERT_EQ(hive->findChild(hive->root(), u"a", a), ERROR_SUCCESS);
    std::uint32_t type = 0;
    std::vector<unsigned char> data;
    EXPECT_EQ(hive->readValue(a, 1, type, data), ERROR_SUCCESS);
    EXPECT_EQ(hive->readValue(a, 2, type, data), ERROR_BADDB);
    EXPECT_FALSE(hive->broken());
    EXPECT_EQ(apply(*hive, Use::addHuge), ERROR_BADDB);
    EXPECT_TRUE(hive->broken());
}
