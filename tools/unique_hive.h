// An open hivex handle that is closed when its owner goes.
#pragma once

#include <hivex.h>

#include "platform/linux/unique_handle.h"

using UniqueHive = UniqueAny<hive_h*, &hivex_close, nullptr>;
