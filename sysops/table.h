// sysops/table.h: GrowingTable lives in the base now (base/growing_table.h). This header stays only
// until its last includes (sysops/folders.cpp, the processes test) name the base header instead.
#pragma once
#include "base/growing_table.h"
