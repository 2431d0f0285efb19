#include "platform/offline/engine/values.h"

#include <algorithm>
#include <cstring>

#include "platform/offline/engine/keys.h"

namespace regf::detail {

namespace {


bool isValue(Image& image, std::uint32_t cell) {
    std::uint32_t payload = 0;
    return image.signedCell(cell, "vk", vk::name - 4, payload) &&
           vk::name - 4 + readWord(image.at(cell + vk::nameLength)) <= payload;
}

StoredName nameOf(const Image& image, std::uint32_t value) {
    StoredName stored;
    stored.bytes = image.at(value + vk::name);
    stored.length = readWord(image.at(value + vk::nameLength));
    stored.compressed = (readWord(image.at(value + vk::flags)) & vk::compressedName) != 0;
    return stored;
}

std::uint32_t segmentsFor(std::uint32_t size) { return (size + segmentSize - 1) / segmentSize; }

LONG layoutOf(Image& image, std::uint32_t value, Layout& layout) {
    const std::uint32_t sizeField = readDword(image.at(value + vk::dataSize));
    layout.size = sizeField & ~vk::inlineData;
    if ((sizeField & vk::inlineData) != 0) {
        layout.inlined = true;
        return layout.size <= 4 ? ERROR_SUCCESS : ERROR_BADDB;
    }
    if (layout.size == 0) {
        return ERROR_SUCCESS;
    }
    const std::uint32_t data = readDword(image.at(value + vk::data));
    std::uint32_t payload = 0;
    if (image.minorVersion() >= 4 && layout.size > segmentSize) {
        const std::uint32_t segments = segmentsFor(layout.size);
        if (image.signedCell(data, "db", 8, payload) && readWord(image.at(data + 6)) == segments) {
            const std::uint32_t list = readDword(image.at(data + 8));
            if (!image.allocatedCell(list, payload) || payload / 4 < segments) {
                return ERROR_BADDB;
            }
            for (std::uint32_t i = 0; i < segments; ++i) {
                const std::uint32_t segment = readDword(image.at(list + 4 + 4 * i));
                const std::uint32_t holds = i + 1 < segments ? segmentSize : layout.size - i * segmentSize;
                if (!image.allocatedCell(segment, payload) || payload < holds) {
                    return ERROR_BADDB;
                }
                layout.cells.push_back(segment);
            }
            layout.bigData = data;
            layout.segmentList = list;
            return ERROR_SUCCESS;
        }
        // Otherwise one cell, as writers that know no big data leave it.
    }
    if (!image.allocatedCell(data, payload) || payload < layout.size) {
        return ERROR_BADDB;
    }
    layout.cells.push_back(data);
    return ERROR_SUCCESS;
}

// Whether big data's segment cells, checked already, have room for `size`
// bytes: the last one may be shorter than a full segment.
bool segmentsHold(Image& image, const std::vector<std::uint32_t>& segments, std::uint32_t size) {
    std::uint32_t payload = 0;
    const std::uint32_t last = size - static_cast<std::uint32_t>(segments.size() - 1) * segmentSize;
    return image.allocatedCell(segments.back(), payload) && payload >= last;
}

// A damaged hive may point a value's data at a cell that something else owns:
// freeing it would free that too.
bool ownsItsCells(const Layout& layout, std::uint32_t value, std::uint32_t key, std::uint32_t list,
                  std::vector<std::uint32_t>& cells) {
    cells.assign(layout.cells.begin(), layout.cells.end());
    if (layout.bigData != noCell) {
        cells.push_back(layout.bigData);
        cells.push_back(layout.segmentList);
    }
    cells.push_back(value);
    cells.push_back(key);
    cells.push_back(list);
    std::sort(cells.begin(), cells.end());
    return std::adjacent_find(cells.begin(), cells.end()) == cells.end();
}

void appendLayout(const Layout& layout, std::vector<std::uint32_t>& cells) {
    if (layout.bigData != noCell) {
        cells.push_back(layout.bigData);
        cells.push_back(layout.segmentList);
    }
    cells.insert(cells.end(), layout.cells.begin(), layout.cells.end());
}

}  // namespace

LONG gatherValueCells(Image& image, std::uint32_t key, std::vector<std::uint32_t>& cells) {
    const std::uint32_t count = readDword(image.at(key + nk::valueCount));
    if (count == 0) {
        return ERROR_SUCCESS;
    }
    const std::uint32_t list = readDword(image.at(key + nk::values));
    std::uint32_t payload = 0;
    if (!image.allocatedCell(list, payload) || payload / 4 < count) {
        return ERROR_BADDB;
    }
    cells.push_back(list);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t value = readDword(image.at(list + 4 + 4 * i));
        Layout layout;
        if (!isValue(image, value) || layoutOf(image, value, layout) != ERROR_SUCCESS) {
            return ERROR_BADDB;
        }
        cells.push_back(value);
        appendLayout(layout, cells);
    }
    return ERROR_SUCCESS;
}

LONG Values::list(std::uint32_t key, std::uint32_t& list, std::uint32_t& count) const {
    count = readDword(image_.at(key + nk::valueCount));
    list = noCell;
    if (count == 0) {
        return ERROR_SUCCESS;
    }
    list = readDword(image_.at(key + nk::values));
    std::uint32_t payload = 0;
    return image_.allocatedCell(list, payload) && payload / 4 >= count ? ERROR_SUCCESS : ERROR_BADDB;
}

LONG Values::valueCell(std::uint32_t key, std::uint32_t index, std::uint32_t& value) const {
    std::uint32_t listCell = noCell;
    std::uint32_t count = 0;
    const LONG listed = list(key, listCell, count);
    if (listed != ERROR_SUCCESS) {
        return listed;
    }
    if (index >= count) {
        return ERROR_NO_MORE_ITEMS;
    }
    value = readDword(image_.at(listCell + 4 + 4 * index));
    return isValue(image_, value) ? ERROR_SUCCESS : ERROR_BADDB;
}

LONG Values::count(std::uint32_t key, std::uint32_t& count) const {
    std::uint32_t listCell = noCell;
    return list(key, listCell, count);
}

LONG Values::name(std::uint32_t key, std::uint32_t index, std::u16string& name) const {
    std::uint32_t value = noCell;
    const LONG found = valueCell(key, index, value);
    if (found == ERROR_SUCCESS) {
        name = loadName(nameOf(image_, value));
    }
    return found;
}

LONG Values::find(std::uint32_t key, const std::u16string& name, bool& found, std::uint32_t& index) const {
    std::uint32_t listCell = noCell;
    std::uint32_t count = 0;
    const LONG listed = list(key, listCell, count);
    if (listed != ERROR_SUCCESS) {
        return listed;
    }
    found = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t value = readDword(image_.at(listCell + 4 + 4 * i));
        if (!isValue(image_, value)) {
            return ERROR_BADDB;
        }
        if (sameName(name, nameOf(image_, value))) {
            found = true;
            index = i;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_SUCCESS;
}

LONG Values::read(std::uint32_t key, std::uint32_t index, std::uint32_t& type, std::vector<unsigned char>& data) const {
    std::uint32_t value = noCell;
    Layout layout;
    LONG status = valueCell(key, index, value);
    if (status == ERROR_SUCCESS) {
        status = layoutOf(image_, value, layout);
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    type = readDword(image_.at(value + vk::type));
    data.resize(layout.size);
    if (layout.inlined) {
        // A value of no bytes leaves data empty, and data() perhaps null.
        if (layout.size > 0) {
            std::memcpy(data.data(), image_.at(value + vk::data), layout.size);
        }
        return ERROR_SUCCESS;
    }
    std::uint32_t copied = 0;
    for (std::uint32_t cell : layout.cells) {
        const std::uint32_t part = layout.cells.size() == 1 ? layout.size : std::min(segmentSize, layout.size - copied);
        std::memcpy(data.data() + copied, image_.at(cell + 4), part);
        copied += part;
    }
    return ERROR_SUCCESS;
}

void Values::releaseAll(const std::vector<std::uint32_t>& cells) {
    for (std::uint32_t cell : cells) {
        cells_.release(cell);
    }
}

LONG Values::storeData(const unsigned char* data, std::uint32_t size, std::uint32_t near, std::uint32_t also,
                       std::uint32_t& sizeField, std::uint32_t& dataField, std::vector<std::uint32_t>& allocated) {
    if (size <= 4) {
        // Four bytes or fewer sit in the vk's data field itself, a value of no
        // bytes too.
        unsigned char inlined[4] = {0, 0, 0, 0};
        if (size > 0) {
            std::memcpy(inlined, data, size);
        }
        sizeField = size | vk::inlineData;
        dataField = readDword(inlined);
        return ERROR_SUCCESS;
    }
    std::uint32_t cell = noCell;
    if (image_.minorVersion() < 4 || size <= segmentSize) {
        const LONG status = cells_.allocate(Kind::value, size, near, cell, also);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        std::memcpy(cells_.write(cell + 4, size), data, size);
        allocated.push_back(cell);
        sizeField = size;
        dataField = cell;
        return ERROR_SUCCESS;
    }
    const std::uint32_t segments = segmentsFor(size);
    if (segments > 0xFFFF) {
        return ERROR_INVALID_PARAMETER;
    }
    std::uint32_t bigData = noCell;
    std::uint32_t list = noCell;
    LONG status = cells_.allocate(Kind::value, 8, near, bigData);
    if (status == ERROR_SUCCESS) {
        allocated.push_back(bigData);
        status = cells_.allocate(Kind::value, 4 * segments, near, list);
    }
    if (status == ERROR_SUCCESS) {
        allocated.push_back(list);
    }
    // Every segment gets a cell of the full 16,344 bytes, the last one too,
    // as Windows allocates them (measured on a hive Windows wrote: values of
    // 16,345 and 81,725 bytes, every segment cell 16,352 bytes long); readers
    // such as hivex take each segment's length from its cell.
    for (std::uint32_t i = 0; status == ERROR_SUCCESS && i < segments; ++i) {
        const std::uint32_t holds = i + 1 < segments ? segmentSize : size - i * segmentSize;
        status = cells_.allocate(Kind::value, segmentSize, near, cell);
        if (status == ERROR_SUCCESS) {
            allocated.push_back(cell);
            std::memcpy(cells_.write(cell + 4, holds), data + static_cast<std::size_t>(i) * segmentSize, holds);
            cells_.put32(list + 4 + 4 * i, cell);
        }
    }
    if (status != ERROR_SUCCESS) {
        releaseAll(allocated);
        allocated.clear();
        return status;
    }
    std::memcpy(cells_.write(bigData + 4, 2), "db", 2);
    cells_.put16(bigData + 6, static_cast<std::uint16_t>(segments));
    cells_.put32(bigData + 8, list);
    sizeField = size;
    dataField = bigData;
    return ERROR_SUCCESS;
}

void Values::updateLargest(std::uint32_t key, std::uint32_t nameBytes, std::uint32_t size, std::uint64_t time) {
    if (nameBytes > readDword(image_.at(key + nk::largestValueName))) {
        cells_.put32(key + nk::largestValueName, nameBytes);
    }
    if (size > readDword(image_.at(key + nk::largestValueData))) {
        cells_.put32(key + nk::largestValueData, size);
    }
    if (time != 0) {
        cells_.put64(key + nk::time, time);
    }
}

LONG Values::set(std::uint32_t key, std::uint32_t index, const std::u16string& name, std::uint32_t type,
                 const unsigned char* data, std::uint32_t size, std::uint64_t time, bool newKey) {
    // A key made in this session keeps its page for the keys made after it:
    // its values go near their list instead.
    const std::uint32_t keyPage = newKey ? noCell : key;
    if (index == newValue) {
        bool found = false;
        const LONG looked = find(key, name, found, index);
        if (looked != ERROR_SUCCESS) {
            return looked;
        }
        if (!found) {
            index = newValue;
        }
    }
    if (index != newValue) {
        std::uint32_t value = noCell;
        Layout& old = old_;
        old.inlined = false;
        old.bigData = noCell;
        old.segmentList = noCell;
        old.cells.clear();
        std::uint32_t listCell = noCell;
        std::uint32_t count = 0;
        LONG status = existing(key, index, listCell, count, value, old);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        std::uint32_t payload = 0;
        const bool oneCell = size > 4 && (image_.minorVersion() < 4 || size <= segmentSize);
        if (oneCell && !old.inlined && old.bigData == noCell && old.cells.size() == 1 &&
            image_.allocatedCell(old.cells[0], payload) && payload >= size) {
            // The data cell is rewritten where it is and its tail given back:
            // no other cell moves.
            cells_.store(old.cells[0] + 4, data, size);
            cells_.shrink(old.cells[0], size);
            cells_.put32(value + vk::dataSize, size);
        } else if (!oneCell && size > 4 && old.bigData != noCell && old.cells.size() == segmentsFor(size) &&
                   segmentsHold(image_, old.cells, size)) {
            // Big data of as many segments goes into the segments it has.
            for (std::size_t i = 0; i < old.cells.size(); ++i) {
                const std::uint32_t at = static_cast<std::uint32_t>(i) * segmentSize;
                cells_.store(old.cells[i] + 4, data + at, std::min(segmentSize, size - at));
            }
            cells_.put32(value + vk::dataSize, size);
        } else {
            allocated_.clear();
            std::uint32_t sizeField = 0;
            std::uint32_t dataField = 0;
            status = storeData(data, size, value, keyPage, sizeField, dataField, allocated_);
            if (status != ERROR_SUCCESS) {
                return status;
            }
            cells_.put32(value + vk::dataSize, sizeField);
            cells_.put32(value + vk::data, dataField);
            released_.clear();
            appendLayout(old, released_);
            releaseAll(released_);
        }
        cells_.put32(value + vk::type, type);
        updateLargest(key, 0, size, time);
        return ERROR_SUCCESS;
    }

    std::uint32_t listCell = noCell;
    std::uint32_t count = 0;
    LONG status = list(key, listCell, count);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::uint32_t capacity = 0;
    if (listCell != noCell) {
        capacity = (static_cast<std::uint32_t>(-image_.cellSizeField(listCell)) - 4) / 4;
    }
    if (count >= 0x1FFFFFFFu) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::vector<std::uint32_t>& allocated = allocated_;
    allocated.clear();
    const std::uint32_t nameBytes = storedLength(name);
    std::uint32_t value = noCell;
    // The new cells go where the change writes anyway: the key's page, or its
    // value list's.
    status = cells_.allocate(Kind::value, vk::name - 4 + nameBytes, newKey ? listCell : key, value,
                             newKey ? noCell : listCell);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    allocated.push_back(value);
    std::uint32_t sizeField = 0;
    std::uint32_t dataField = 0;
    released_.clear();
    status = storeData(data, size, value, keyPage, sizeField, dataField, released_);
    allocated.insert(allocated.end(), released_.begin(), released_.end());
    std::uint32_t newList = noCell;
    if (status == ERROR_SUCCESS && count + 1 > capacity) {
        // A key's first value gets a list of one, as Windows makes it; a list
        // that grows gets room to grow further.
        const std::uint32_t room = count == 0 ? 1 : count + 1 + count / 2;
        status = cells_.allocate(Kind::value, 4 * room, newKey ? value : key, newList);
    }
    if (status != ERROR_SUCCESS) {
        releaseAll(allocated);
        return status;
    }
    std::memcpy(cells_.write(value + 4, 2), "vk", 2);
    cells_.put16(value + vk::nameLength, static_cast<std::uint16_t>(nameBytes));
    cells_.put32(value + vk::dataSize, sizeField);
    cells_.put32(value + vk::data, dataField);
    cells_.put32(value + vk::type, type);
    // The default value's empty name carries no flag, as Windows writes it.
    cells_.put16(value + vk::flags, !name.empty() && fitsCompressed(name) ? vk::compressedName : 0);
    storeName(name, cells_.write(value + vk::name, nameBytes));
    if (newList != noCell) {
        if (count > 0) {
            std::memcpy(cells_.write(newList + 4, 4 * count), image_.at(listCell + 4), 4 * count);
            cells_.release(listCell);
        }
        listCell = newList;
        cells_.put32(key + nk::values, listCell);
    }
    cells_.put32(listCell + 4 + 4 * count, value);
    cells_.put32(key + nk::valueCount, count + 1);
    updateLargest(key, static_cast<std::uint32_t>(2 * name.size()), size, time);
    return ERROR_SUCCESS;
}

// The value at index with its list and the cells it owns, each checked: what
// a replacement or a deletion frees.
LONG Values::existing(std::uint32_t key, std::uint32_t index, std::uint32_t& listCell, std::uint32_t& count,
                      std::uint32_t& value, Layout& layout) {
    LONG status = list(key, listCell, count);
    if (status == ERROR_SUCCESS) {
        status = valueCell(key, index, value);
    }
    if (status == ERROR_SUCCESS) {
        status = layoutOf(image_, value, layout);
    }
    if (status == ERROR_SUCCESS && !ownsItsCells(layout, value, key, listCell, checked_)) {
        status = ERROR_BADDB;
    }
    return status;
}

LONG Values::remove(std::uint32_t key, std::uint32_t index, std::uint64_t time) {
    std::uint32_t listCell = noCell;
    std::uint32_t count = 0;
    std::uint32_t value = noCell;
    Layout old;
    const LONG status = existing(key, index, listCell, count, value, old);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // The values after it move up: the list keeps its order.
    const std::uint32_t after = count - index - 1;
    if (after > 0) {
        std::memmove(cells_.write(listCell + 4 + 4 * index, 4 * after), image_.at(listCell + 8 + 4 * index), 4 * after);
    }
    cells_.put32(key + nk::valueCount, count - 1);
    if (count == 1) {
        cells_.release(listCell);
        cells_.put32(key + nk::values, noCell);
        cells_.put32(key + nk::largestValueName, 0);
        cells_.put32(key + nk::largestValueData, 0);
    }
    if (time != 0) {
        cells_.put64(key + nk::time, time);
    }
    released_.assign(1, value);
    appendLayout(old, released_);
    releaseAll(released_);
    return ERROR_SUCCESS;
}

}  // namespace regf::detail
