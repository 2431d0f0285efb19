// The facade: key handles in place of cell offsets, the checks of what Windows
// refuses, and the rule that a change which met a damaged cell after it had
// written something leaves the hive broken.
#include "platform/offline/engine/engine.h"

#include <unordered_map>

#include "platform/offline/engine/cells.h"
#include "platform/offline/engine/hive.h"
#include "platform/offline/engine/keys.h"
#include "platform/offline/engine/values.h"
#include "platform/offline/replay/hive_log.h"

namespace regf {

namespace detail {

namespace {

constexpr std::uint32_t deletedKey = 0xFFFFFFFEu;
// Windows' limits on names (in UTF-16 units) and on a value's data here.
constexpr std::size_t longestKeyName = 255;
constexpr std::size_t longestValueName = 16383;
constexpr std::size_t largestData = 0x3FFFFFFF;

}  // namespace

class HiveState {
public:
    HiveState() : cells(image), keys(image, cells), values(image, cells) {}

    Image image;
    Cells cells;
    Keys keys;
    Values values;
    bool writable = false;
    bool broken = false;
    std::uint64_t timeOfChanges = 0;
    KeyRef root = 0;

    KeyRef refFor(std::uint32_t cell) {
        const auto known = handles_.find(cell);
        if (known != handles_.end()) {
            return known->second;
        }
        cellsOf_.push_back(cell);
        const KeyRef ref = static_cast<KeyRef>(cellsOf_.size());
        handles_.emplace(cell, ref);
        return ref;
    }

    // Every operation starts here, before it holds any pointer into the
    // image: the moment a hive that is only read may drop the pages it read.
    LONG cellOf(KeyRef ref, std::uint32_t& cell) {
        if (!writable) {
            image.trim();
        }
        if (ref == 0 || ref > cellsOf_.size()) {
            return ERROR_INVALID_HANDLE;
        }
        cell = cellsOf_[ref - 1];
        if (cell == deletedKey) {
            return ERROR_KEY_DELETED;
        }
        return keys.isKey(cell) ? ERROR_SUCCESS : ERROR_BADDB;
    }

    void forget(std::uint32_t cell) {
        const auto known = handles_.find(cell);
        if (known != handles_.end()) {
            cellsOf_[known->second - 1] = deletedKey;
            handles_.erase(known);
        }
    }

    // Runs a change. One that fails with a damaged cell after it wrote part
    // of itself leaves an image no one may write back.
    template <typename Change>
    LONG change(Change&& run) {
        if (!writable) {
            return ERROR_ACCESS_DENIED;
        }
        if (broken) {
            return ERROR_BADDB;
        }
        const std::uint64_t writesBefore = cells.writes();
        const std::uint64_t failuresBefore = image.loadFailures();
        LONG status = run();
        // Bytes the file could not give leave the change unsound, whatever
        // it returned.
        if (image.loadFailures() != failuresBefore) {
            status = ERROR_BADDB;
        }
        if (status == ERROR_BADDB && cells.writes() != writesBefore) {
            broken = true;
        }
        return status;
    }

private:
    std::vector<std::uint32_t> cellsOf_;                 // KeyRef - 1 -> nk cell
    std::unordered_map<std::uint32_t, KeyRef> handles_;  // nk cell -> KeyRef
};

}  // namespace detail

Hive::Hive(std::unique_ptr<detail::HiveState> state) : state_(std::move(state)) {}

Hive::~Hive() = default;

LONG Hive::open(std::unique_ptr<Storage> storage, bool writable, std::unique_ptr<Hive>& out) {
    if (!storage) {
        return ERROR_INVALID_PARAMETER;
    }
    auto state = std::make_unique<detail::HiveState>();
    const LONG loaded = state->image.load(std::move(storage));
    if (loaded != ERROR_SUCCESS) {
        return loaded;
    }
    state->cells.start();
    state->writable = writable;
    state->root = state->refFor(state->image.rootCell());
    out.reset(new Hive(std::move(state)));
    return ERROR_SUCCESS;
}

std::uint32_t Hive::minorVersion() const { return state_->image.minorVersion(); }

KeyRef Hive::root() const { return state_->root; }

LONG Hive::findChild(KeyRef key, const std::u16string& name, KeyRef& child) {
    std::uint32_t cell = 0;
    std::uint32_t found = 0;
    LONG status = state_->cellOf(key, cell);
    if (status == ERROR_SUCCESS) {
        status = state_->keys.findChild(cell, name, found);
    }
    if (status == ERROR_SUCCESS) {
        child = state_->refFor(found);
    }
    return status;
}

LONG Hive::childCount(KeyRef key, std::uint32_t& count) {
    std::uint32_t cell = 0;
    const LONG status = state_->cellOf(key, cell);
    return status != ERROR_SUCCESS ? status : state_->keys.childCount(cell, count);
}

LONG Hive::childAt(KeyRef key, std::uint32_t index, KeyRef& child) {
    std::uint32_t cell = 0;
    std::uint32_t found = 0;
    LONG status = state_->cellOf(key, cell);
    if (status == ERROR_SUCCESS) {
        status = state_->keys.childAt(cell, index, found);
    }
    if (status == ERROR_SUCCESS) {
        child = state_->refFor(found);
    }
    return status;
}

LONG Hive::keyName(KeyRef key, std::u16string& name) {
    std::uint32_t cell = 0;
    const LONG status = state_->cellOf(key, cell);
    if (status == ERROR_SUCCESS) {
        name = detail::loadName(state_->keys.name(cell));
    }
    return status;
}

LONG Hive::lastWriteTime(KeyRef key, std::uint64_t& time) {
    std::uint32_t cell = 0;
    const LONG status = state_->cellOf(key, cell);
    if (status == ERROR_SUCCESS) {
        time = detail::readQword(state_->image.at(cell + detail::nk::time));
    }
    return status;
}

LONG Hive::valueCount(KeyRef key, std::uint32_t& count) {
    std::uint32_t cell = 0;
    const LONG status = state_->cellOf(key, cell);
    return status != ERROR_SUCCESS ? status : state_->values.count(cell, count);
}

LONG Hive::valueName(KeyRef key, std::uint32_t index, std::u16string& name) {
    std::uint32_t cell = 0;
    const LONG status = state_->cellOf(key, cell);
    return status != ERROR_SUCCESS ? status : state_->values.name(cell, index, name);
}

LONG Hive::findValue(KeyRef key, const std::u16string& name, bool& found, std::uint32_t& index) {
    std::uint32_t cell = 0;
    const LONG status = state_->cellOf(key, cell);
    return status != ERROR_SUCCESS ? status : state_->values.find(cell, name, found, index);
}

LONG Hive::readValue(KeyRef key, std::uint32_t index, std::uint32_t& type, std::vector<unsigned char>& data) {
    std::uint32_t cell = 0;
    const LONG status = state_->cellOf(key, cell);
    return status != ERROR_SUCCESS ? status : state_->values.read(cell, index, type, data);
}

bool Hive::writable() const { return state_->writable; }

LONG Hive::addChild(KeyRef parent, const std::u16string& name, KeyRef& child) {
    return state_->change([&]() -> LONG {
        std::uint32_t cell = 0;
        LONG status = state_->cellOf(parent, cell);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        // A backslash separates keys in every path Windows takes: no name
        // holds one.
        if (name.empty() || name.size() > detail::longestKeyName || name.find(u'\\') != std::u16string::npos) {
            return ERROR_INVALID_PARAMETER;
        }
        std::uint32_t made = 0;
        status = state_->keys.addChild(cell, name, state_->timeOfChanges, made);
        if (status == ERROR_SUCCESS || status == ERROR_ALREADY_EXISTS) {
            child = state_->refFor(made);
        }
        return status;
    });
}

LONG Hive::setValue(KeyRef key, std::uint32_t index, const std::u16string& name, std::uint32_t type,
                    const unsigned char* data, std::size_t size) {
    return state_->change([&]() -> LONG {
        std::uint32_t cell = 0;
        const LONG status = state_->cellOf(key, cell);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (name.size() > detail::longestValueName || size > detail::largestData || (size > 0 && data == nullptr)) {
            return ERROR_INVALID_PARAMETER;
        }
        return state_->values.set(cell, index, name, type, data, static_cast<std::uint32_t>(size),
                                  state_->timeOfChanges, state_->keys.madeHere(cell));
    });
}

LONG Hive::deleteValue(KeyRef key, std::uint32_t index) {
    return state_->change([&]() -> LONG {
        std::uint32_t cell = 0;
        const LONG status = state_->cellOf(key, cell);
        return status != ERROR_SUCCESS ? status : state_->values.remove(cell, index, state_->timeOfChanges);
    });
}

LONG Hive::deleteKeyTree(KeyRef key) {
    return state_->change([&]() -> LONG {
        std::uint32_t cell = 0;
        LONG status = state_->cellOf(key, cell);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (cell == state_->image.rootCell()) {
            return ERROR_ACCESS_DENIED;
        }
        detail::Tree tree;
        status = state_->keys.gatherTree(cell, tree);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        state_->keys.deleteTree(cell, tree, state_->timeOfChanges);
        for (std::uint32_t deleted : tree.keys) {
            state_->forget(deleted);
        }
        return ERROR_SUCCESS;
    });
}

LONG Hive::setLastWriteTime(KeyRef key, std::uint64_t time) {
    return state_->change([&]() -> LONG {
        std::uint32_t cell = 0;
        const LONG status = state_->cellOf(key, cell);
        if (status == ERROR_SUCCESS) {
            state_->cells.put64(cell + detail::nk::time, time);
        }
        return status;
    });
}

void Hive::setTimeOfChanges(std::uint64_t time) { state_->timeOfChanges = time; }

bool Hive::broken() const { return state_->broken; }

LONG Hive::checkWhole() { return state_->image.walkAll() ? ERROR_SUCCESS : ERROR_BADDB; }

bool Hive::changed() const { return state_->writable && state_->cells.writes() != 0; }

std::vector<std::uint32_t> Hive::dirtyPages() const {
    return state_->writable ? state_->cells.dirtyPages() : std::vector<std::uint32_t>();
}

void Hive::finishBaseBlock(std::uint32_t sequence, std::uint64_t writtenAt) {
    if (!state_->writable) {
        return;
    }
    unsigned char* base = state_->image.baseBlock();
    hivelog::writeDword(base + hivelog::binsSizeAt, state_->image.binsSize());
    hivelog::makeCleanBaseBlock(base, sequence, writtenAt);
    state_->cells.put64(20, writtenAt);
}

const unsigned char* Hive::image() const { return state_->image.baseBlock(); }

std::size_t Hive::imageSize() const { return hivelog::baseBlockSize + state_->image.binsSize(); }

}  // namespace regf
