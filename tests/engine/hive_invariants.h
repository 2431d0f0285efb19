// An independent judge of a regf hive file: does it keep the invariants that
// Windows' own registry code keeps in every hive it writes, and that Windows
// relies on when it loads one (the base block, the bins and their cells, the
// key tree with its sorted subkey lists and their hashes, values and big data,
// the security cells, and every allocated cell reached once from the root)?
//
// Written from the regf format notes and from what Windows-written hives hold,
// on its own: it shares no code with the hive engine it judges.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct HiveInvariantOptions {
    // The nk fields "largest subkey name length", "largest subkey class
    // length", "largest value name length" and "largest value data size"
    // (names counted as UTF-16 bytes, compressed ones too) are always checked
    // to be at least the largest actual ones: Windows sizes its query buffers
    // from them. Windows grows them but does not shrink them: CompHive's root
    // keeps 20, the length of regedit's "New Key #1", over subkeys named in 2
    // bytes. So they are upper bounds in general; set this to require them
    // exact, as they are in a hive built by additions alone.
    bool exactLargestFields = false;

    // Every allocated cell must be reached from the root. A hive that Windows
    // recovered after a crash may hold cells it had not yet freed:
    // NewDirtyHive1's recovery has eight key nodes of keys regedit renamed,
    // allocated and listed nowhere, and Windows 10 loads it. Set this to let
    // such cells be (their contents are then not checked).
    bool unreachedCellsAllowed = false;
};

// One line per violation, naming the cell offset (relative to the hive bins)
// and what is wrong; empty when the hive keeps every invariant. The input may
// be anything: every read is bounds-checked, and every walk ends.
std::vector<std::string> checkHiveInvariants(const unsigned char* bytes, std::size_t size);
std::vector<std::string> checkHiveInvariants(const unsigned char* bytes, std::size_t size,
                                             const HiveInvariantOptions& options);
