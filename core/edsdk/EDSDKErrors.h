// Result codes of the SDK layer. 0 is success; everything else is a failure.
#pragma once

#include "EDSDKTypes.h"

constexpr EdsError EDS_ERR_OK = 0x00000000;
constexpr EdsError EDS_ERR_INTERNAL_ERROR = 0x00000002;
constexpr EdsError EDS_ERR_MEM_ALLOC_FAILED = 0x00000003;
constexpr EdsError EDS_ERR_NOT_SUPPORTED = 0x00000007;
constexpr EdsError EDS_ERR_FILE_NOT_FOUND = 0x00000022;
constexpr EdsError EDS_ERR_FILE_OPEN_ERROR = 0x00000023;
constexpr EdsError EDS_ERR_FILE_READ_ERROR = 0x00000027;
constexpr EdsError EDS_ERR_FILE_PERMISSION_ERROR = 0x00000029;
constexpr EdsError EDS_ERR_FILE_FORMAT_UNRECOGNIZED = 0x0000002C;
constexpr EdsError EDS_ERR_FILE_DATA_CORRUPT = 0x0000002D;
constexpr EdsError EDS_ERR_PROPERTIES_UNAVAILABLE = 0x00000050;
constexpr EdsError EDS_ERR_INVALID_PARAMETER = 0x00000060;
constexpr EdsError EDS_ERR_INVALID_HANDLE = 0x00000061;

// A short human explanation of a result code ("file data corrupt or truncated", ...), for
// messages that name the code as well. Unknown codes give "unknown error".
const char* EdsErrorDescription(EdsError code);
