// The default SDK backend: develops RAW files with LibRaw. The only file that knows LibRaw.
#pragma once

#include "EdsBackend.h"
