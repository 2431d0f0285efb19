#pragma once

#include <functional>

#include "registry/registry.h"

// Runs the value operation on the root key of one user's hive.
using HiveCallback = std::function<void(HKEY)>;
