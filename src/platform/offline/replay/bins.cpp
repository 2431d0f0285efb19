// The hive bins of a replayed hive, checked before the hive is trusted: a
// replay that stopped short leaves bins that are missing, torn or misplaced.
#include <string>

#include "replay_internal.h"

namespace hivelog {

using namespace detail;

namespace {

bool fail(std::string* reason, const std::string& text) {
    if (reason != nullptr) {
        *reason = text;
    }
    return false;
}

std::string hex(std::uint64_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + text;
}

}  // namespace

bool checkBins(ByteView hive, std::string* reason) {
    if (hive.size < baseBlockSize) {
        return fail(reason, "no base block");
    }
    const std::uint32_t binsSize = readDword(hive.data + binsSizeAt);
    if (binsSize == 0 || binsSize % binAlignment != 0) {
        return fail(reason, "hive bins size " + hex(binsSize) + " is not a multiple of 4096");
    }
    if (binsSize > hive.size - baseBlockSize) {
        return fail(reason, "the file ends before its hive bins do");
    }
    const std::uint32_t root = readDword(hive.data + rootCellAt);
    bool rootAllocated = false;
    std::uint32_t binSize = 0;
    for (std::uint32_t offset = 0; offset < binsSize; offset += binSize) {
        const unsigned char* bin = hive.data + baseBlockSize + offset;
        if (!hasSignature(bin, "hbin")) {
            return fail(reason, "no hive bin at " + hex(offset));
        }
        if (readDword(bin + 4) != offset) {
            return fail(reason, "the hive bin at " + hex(offset) + " names another offset");
        }
        binSize = readDword(bin + 8);
        if (binSize == 0 || binSize % binAlignment != 0 || binSize > binsSize - offset) {
            return fail(reason, "the hive bin at " + hex(offset) + " has a bad size");
        }
        std::uint32_t cellSize = 0;
        for (std::uint32_t cell = 32; cell < binSize; cell += cellSize) {
            const auto raw = static_cast<std::int32_t>(readDword(bin + cell));
            const std::int64_t size = raw < 0 ? -static_cast<std::int64_t>(raw) : raw;
            if (size < 8 || size % 8 != 0 || size > binSize - cell) {
                return fail(reason, "the cell at " + hex(std::uint64_t{offset} + cell) + " has a bad size");
            }
            cellSize = static_cast<std::uint32_t>(size);
            if (std::uint64_t{offset} + cell == root) {
                rootAllocated = raw < 0;
            }
        }
    }
    if (!rootAllocated) {
        return fail(reason, "the root cell " + hex(root) + " is not an allocated cell");
    }
    return true;
}

}  // namespace hivelog
